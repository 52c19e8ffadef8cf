// The kernel32 string routines, ExpandEnvironmentStringsA and user32's
// wsprintfA.
#include "state.h"

#include <cstdarg>
#include <cstring>
#include <string>
#include <string_view>

namespace {

char Fold(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

int Sign(int difference) { return (difference > 0) - (difference < 0); }

// wsprintfA writes at most 1024 characters, terminator included.
constexpr std::size_t FormatLimit = 1024;

struct Output {
  char* buffer;
  std::size_t length = 0;
  void Put(char c) {
    if (length + 1 < FormatLimit) buffer[length++] = c;
  }
  void Pad(std::size_t count, char c) {
    while (count-- > 0) Put(c);
  }
};

// One conversion: %[-][0][width][.precision][h|l]type with type one of
// d i u x X c s %.
void Convert(Output& out, const char*& format, va_list& args) {
  bool left = false, zero = false;
  for (;; ++format) {
    if (*format == '-')
      left = true;
    else if (*format == '0')
      zero = true;
    else
      break;
  }
  std::size_t width = 0, precision = 0;
  bool hasPrecision = false;
  while (*format >= '0' && *format <= '9')
    width = width * 10 + static_cast<std::size_t>(*format++ - '0');
  if (*format == '.') {
    hasPrecision = true;
    ++format;
    while (*format >= '0' && *format <= '9')
      precision = precision * 10 + static_cast<std::size_t>(*format++ - '0');
  }
  if (*format == 'h' || *format == 'l') ++format;  // every integer argument is 32 bits wide

  char digits[16];
  const char* text = digits;
  std::size_t length = 0;
  bool negative = false;
  char type = *format ? *format++ : '\0';
  switch (type) {
    case 'd':
    case 'i':
    case 'u':
    case 'x':
    case 'X': {
      std::uint32_t value = static_cast<std::uint32_t>(va_arg(args, int));
      if ((type == 'd' || type == 'i') && static_cast<std::int32_t>(value) < 0) {
        negative = true;
        value = 0u - value;
      }
      unsigned base = (type == 'x' || type == 'X') ? 16 : 10;
      const char* alphabet = type == 'x' ? "0123456789abcdef" : "0123456789ABCDEF";
      char reversed[16];
      do {
        reversed[length++] = alphabet[value % base];
        value /= base;
      } while (value);
      for (std::size_t i = 0; i < length; ++i) digits[i] = reversed[length - 1 - i];
      break;
    }
    case 'c':
      digits[0] = static_cast<char>(va_arg(args, int));
      length = 1;
      break;
    case 's':
      text = va_arg(args, const char*);
      if (!text) text = "(null)";
      length = std::strlen(text);
      if (hasPrecision && precision < length) length = precision;
      break;
    case '%': out.Put('%'); return;
    default:  // an unknown conversion prints its letter, as wsprintfA does
      if (type) out.Put(type);
      return;
  }
  std::size_t shown = length + (negative ? 1 : 0);
  std::size_t padding = width > shown ? width - shown : 0;
  if (!left && !(zero && type != 's' && type != 'c')) out.Pad(padding, ' ');
  if (negative) out.Put('-');
  if (!left && zero && type != 's' && type != 'c') out.Pad(padding, '0');
  for (std::size_t i = 0; i < length; ++i) out.Put(text[i]);
  if (left) out.Pad(padding, ' ');
}

// The variables a profile folder in ProfileList is written with.
constexpr std::pair<std::string_view, std::string_view> kEnvironment[] = {
    {"SystemDrive", "C:"}, {"SystemRoot", "C:\\WINDOWS"}, {"windir", "C:\\WINDOWS"}};

std::string Expand(std::string_view text) {
  std::string expanded;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text[at] == '%' ? text.find('%', at + 1) : std::string_view::npos;
    const std::string_view name =
        end == std::string_view::npos ? "" : text.substr(at + 1, end - at - 1);
    bool known = false;
    for (const auto& [variable, value] : kEnvironment)
      if (!name.empty() && win32stub::detail::EqualNoCase(variable, name)) {
        expanded += value;
        known = true;
      }
    if (known)
      at = end + 1;
    else
      expanded += text[at++];
  }
  return expanded;
}

}  // namespace

extern "C" {

// The count includes the terminator; a buffer too small is left as it was
// and the count it needs is returned.
DWORD WINAPI ExpandEnvironmentStringsA(LPCSTR source, LPSTR destination, DWORD size) {
  const std::string expanded = Expand(source ? source : "");
  const DWORD needed = static_cast<DWORD>(expanded.size() + 1);
  if (destination && size >= needed) std::memcpy(destination, expanded.c_str(), needed);
  return needed;
}

LPSTR WINAPI lstrcpyA(LPSTR destination, LPCSTR source) {
  if (!destination || !source) return nullptr;
  return std::strcpy(destination, source);
}

LPSTR WINAPI lstrcpynA(LPSTR destination, LPCSTR source, int maxLength) {
  if (!destination || !source) return nullptr;
  if (maxLength <= 0) return destination;
  int i = 0;
  for (; i < maxLength - 1 && source[i]; ++i) destination[i] = source[i];
  destination[i] = '\0';
  return destination;
}

LPSTR WINAPI lstrcatA(LPSTR destination, LPCSTR source) {
  if (!destination || !source) return nullptr;
  return std::strcat(destination, source);
}

int WINAPI lstrcmpA(LPCSTR first, LPCSTR second) {
  return Sign(std::strcmp(first ? first : "", second ? second : ""));
}

int WINAPI lstrcmpiA(LPCSTR first, LPCSTR second) {
  const unsigned char* a = reinterpret_cast<const unsigned char*>(first ? first : "");
  const unsigned char* b = reinterpret_cast<const unsigned char*>(second ? second : "");
  for (;; ++a, ++b) {
    int difference = static_cast<unsigned char>(Fold(static_cast<char>(*a))) -
                     static_cast<unsigned char>(Fold(static_cast<char>(*b)));
    if (difference || !*a) return Sign(difference);
  }
}

int WINAPI lstrlenA(LPCSTR text) { return text ? static_cast<int>(std::strlen(text)) : 0; }

LPSTR WINAPI CharNextA(LPCSTR text) {
  if (!text) return nullptr;
  return const_cast<LPSTR>(text + win32stub::detail::CharacterLength(text));
}

int WINAPIV wsprintfA(LPSTR buffer, LPCSTR format, ...) {
  va_list args;
  va_start(args, format);
  Output out{buffer};
  while (*format) {
    if (*format == '%') {
      ++format;
      Convert(out, format, args);
    } else {
      out.Put(*format++);
    }
  }
  va_end(args);
  buffer[out.length] = '\0';
  return static_cast<int>(out.length);
}

}  // extern "C"
