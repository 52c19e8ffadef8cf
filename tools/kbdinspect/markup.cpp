// Text for the documents kbdinspect writes.
#include "kbdinspect/markup.h"

#include <algorithm>

#include "pe/text.h"

namespace kbd {

bool Drawable(char32_t c) {
  if (c < 0x20 || (c >= 0x7F && c < 0xA0)) return false;
  return !(c >= 0xD800 && c <= 0xDFFF) && c != 0xFFFE && c != 0xFFFF && c <= 0x10FFFF;
}

bool Visible(std::u32string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), Drawable) &&
         std::any_of(text.begin(), text.end(), [](char32_t c) { return c != U' '; });
}

std::u32string DecodeForDocument(std::string_view utf8) {
  std::u32string out;
  for (size_t i = 0; i < utf8.size();) {
    const uint8_t lead = uint8_t(utf8[i]);
    const int length = lead < 0x80             ? 1
                       : (lead & 0xE0) == 0xC0 ? 2
                       : (lead & 0xF0) == 0xE0 ? 3
                       : (lead & 0xF8) == 0xF0 ? 4
                                               : 0;
    char32_t c = length == 1   ? lead
                 : length == 2 ? lead & 0x1F
                 : length == 3 ? lead & 0x0F
                               : lead & 0x07;
    bool valid = length != 0 && i + length <= utf8.size();
    for (int k = 1; valid && k < length; ++k) {
      const uint8_t next = uint8_t(utf8[i + k]);
      valid = (next & 0xC0) == 0x80;
      c = c << 6 | (next & 0x3F);
    }
    static const char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    valid = valid && c >= kSmallest[length];  // overlong forms are malformed too
    if (!valid) {
      out += U'\uFFFD';
      ++i;
      continue;
    }
    if (Drawable(c)) out += c;
    i += size_t(length);
  }
  return out;
}

std::string DrawableName(std::u32string_view text) {
  constexpr size_t kLongest = 20;
  std::u32string out;
  for (char32_t c : text)
    if (Drawable(c)) out += c;
  if (out.size() > kLongest) out = out.substr(0, kLongest - 1) + U'\u2026';
  return pe::EncodeUtf8(out);
}

std::string Escape(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default: out += c;
    }
  }
  return out;
}

}  // namespace kbd
