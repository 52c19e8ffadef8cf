// A TrueType or OpenType font file, as a page embeds it: its bytes, its
// format and the family name its naming table gives.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "pe/expected.h"

namespace kbd {

struct FontFile {
  std::string family;  // UTF-8, e.g. "Lindorian Serif"
  std::string format;  // as CSS names it: "truetype" or "opentype"
  std::vector<uint8_t> bytes;
};

// The family name of an sfnt font: the typographic family (name ID 16)
// where the font has one, else the family (ID 1), from a Windows Unicode
// record (US English first) or a Macintosh Roman one. An error when the
// data is no sfnt font, the naming table lies outside it, or there is no
// family name.
pe::Expected<FontFile> ParseFont(std::span<const uint8_t> bytes);

// Reads and parses a font file; an error names the file.
pe::Expected<FontFile> LoadFont(const std::string& path);

}  // namespace kbd
