// What the readers return to their callers: a value, or an error message
// in std::expected's error slot.
#pragma once

#include <expected>
#include <stdexcept>
#include <string>

namespace pe {

template <class T>
using Expected = std::expected<T, std::string>;

// Raised inside the readers when the file breaks a rule; the public entry
// points catch it and hand the message back in an Expected.
class FormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Runs a reader that may throw FormatError and turns the outcome into an
// Expected.
template <class F>
auto Catching(F&& reader) -> Expected<decltype(reader())> {
  try {
    return reader();
  } catch (const FormatError& e) {
    return std::unexpected(std::string(e.what()));
  }
}

}  // namespace pe
