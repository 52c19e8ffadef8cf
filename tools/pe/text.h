// Text helpers shared by the PE readers and the tools built on them:
// numbers in messages, ASCII letter case, and UTF-16 and UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pe {

// "0x1C"; with digits, at least that many: Hex(0x1C, 4) is "0x001C".
std::string Hex(uint64_t value, int digits = 1);

// The text with ASCII capitals made small; every other byte unchanged.
std::string Lower(std::string_view text);

// UTF-16 to code points; lone surrogates are kept as they are.
std::u32string DecodeUtf16(std::u16string_view text);
// Code points to UTF-8; surrogates and values past U+10FFFF become U+FFFD.
std::string EncodeUtf8(std::u32string_view text);

}  // namespace pe
