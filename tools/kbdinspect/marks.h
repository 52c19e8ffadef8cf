// Combining marks: a mark has no shape of its own and sits on the character
// typed before it, so on its own it has to be shown on a placeholder.
#pragma once

#include <string_view>

namespace kbd {

// The dotted circle that stands in for the letter a mark sits on.
constexpr char32_t kDottedCircle = 0x25CC;

// Nonspacing and enclosing marks (general categories Mn and Me).
bool IsCombiningMark(char32_t c);

// The Unicode name of a mark of the Combining Diacritical Marks block
// (U+0300..U+036F), e.g. "COMBINING ACUTE ACCENT"; empty for others.
std::string_view CombiningMarkName(char32_t c);

}  // namespace kbd
