// A value or an error message: what the readers return to their callers.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace pe {

// Raised inside the readers when the file breaks a rule; the public entry
// points catch it and hand the message back in an Expected.
class FormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Failure {
  std::string message;
};

template <class T>
class Expected {
 public:
  Expected(T value) : state_(std::move(value)) {}
  Expected(Failure failure) : state_(std::move(failure)) {}

  bool ok() const { return std::holds_alternative<T>(state_); }
  explicit operator bool() const { return ok(); }

  // The error message; empty when there is a value.
  const std::string& error() const {
    static const std::string none;
    return ok() ? none : std::get<Failure>(state_).message;
  }

  // Asking for the value of a failure is a caller bug: it throws with the
  // failure's message rather than reading the wrong alternative.
  T& value() {
    if (!ok()) throw std::logic_error("no value: " + error());
    return std::get<T>(state_);
  }
  const T& value() const {
    if (!ok()) throw std::logic_error("no value: " + error());
    return std::get<T>(state_);
  }
  T& operator*() { return value(); }
  const T& operator*() const { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

 private:
  std::variant<T, Failure> state_;
};

// Runs a reader that may throw FormatError and turns the outcome into an
// Expected.
template <class F>
auto Catching(F&& reader) -> Expected<decltype(reader())> {
  try {
    return reader();
  } catch (const FormatError& e) {
    return Failure{e.what()};
  }
}

}  // namespace pe
