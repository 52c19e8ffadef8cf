// Human-readable output of kbdinspect: names of virtual keys, characters,
// and the layout chart.
#pragma once

#include <ostream>
#include <string>

#include "kbdinspect/layout.h"
#include "kbdinspect/translate.h"

namespace kbd {

// "VK_RETURN", "'Q'" for letters and digits, "0xE8" for unnamed keys.
std::string VkName(uint8_t vk);
// "U+0358 ◌͘", "U+0008", "WCH_NONE"; combining marks shown on a dotted circle.
std::string CellText(uint16_t cell);
// A character as CellText shows it: "U+0061 a", "U+0358 ◌͘", "U+0008".
std::string CharacterText(char32_t c);
// "U+0301", "U+1E73", "U+1D167".
std::string CodePointLabel(char32_t c);
// "U+0061 U+0301"
std::string CodePoints(std::u32string_view text);
// The modifier keys of a mask, e.g. "Shift+Ctrl", or "none".
std::string MaskName(const Layout& layout, uint16_t mask);

void PrintSummary(std::ostream& out, const Layout& layout);
void PrintChart(std::ostream& out, const Layout& layout);
// Pointer sites the image's base relocations do not cover, one per line.
std::vector<std::string> RelocationGaps(const pe::PeImage& image, const Layout& layout);

}  // namespace kbd
