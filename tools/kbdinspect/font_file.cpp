// Just enough of the sfnt format to name a font: the table directory and
// the naming table. Every offset is checked against the data.
#include "kbdinspect/font_file.h"

#include <optional>

#include "pe/pe_image.h"
#include "pe/text.h"

namespace kbd {
namespace {

using pe::FormatError;

class BigEndian {
 public:
  explicit BigEndian(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  uint16_t U16(size_t at) const { return uint16_t(Byte(at) << 8 | Byte(at + 1)); }
  uint32_t U32(size_t at) const { return uint32_t(U16(at)) << 16 | U16(at + 2); }
  std::span<const uint8_t> Slice(size_t at, size_t size) const {
    if (at > bytes_.size() || size > bytes_.size() - at)
      throw FormatError("the naming table points outside the font");
    return bytes_.subspan(at, size);
  }

 private:
  uint8_t Byte(size_t at) const {
    if (at >= bytes_.size()) throw FormatError("the font is cut short");
    return bytes_[at];
  }
  std::span<const uint8_t> bytes_;
};

constexpr uint32_t kTrueType = 0x00010000, kAppleTrueType = 0x74727565 /* true */,
                   kOpenType = 0x4F54544F /* OTTO */, kNameTag = 0x6E616D65 /* name */;
constexpr uint16_t kWindows = 3, kWindowsUnicode = 1, kUsEnglish = 0x0409;
constexpr uint16_t kMacintosh = 1, kMacRoman = 0;

std::string DecodeUtf16Be(std::span<const uint8_t> data) {
  std::u16string units;
  for (size_t i = 0; i + 1 < data.size(); i += 2) units += char16_t(data[i] << 8 | data[i + 1]);
  return pe::EncodeUtf8(pe::DecodeUtf16(units));
}

// Macintosh Roman; a family name there is ASCII in practice, and anything
// else becomes U+FFFD rather than a wrong letter.
std::string DecodeMacRoman(std::span<const uint8_t> data) {
  std::u32string text;
  for (uint8_t c : data) text += c < 0x80 ? char32_t(c) : U'\uFFFD';
  return pe::EncodeUtf8(text);
}

// The record's rank among the family names: lower is better, none when it
// is not one.
std::optional<int> Rank(uint16_t platform, uint16_t encoding, uint16_t language, uint16_t id) {
  if (id != 16 && id != 1) return std::nullopt;
  const int by_id = id == 16 ? 0 : 3;
  if (platform == kWindows && encoding == kWindowsUnicode)
    return by_id + (language == kUsEnglish ? 0 : 1);
  if (platform == kMacintosh && encoding == kMacRoman) return by_id + 2;
  return std::nullopt;
}

std::string FamilyName(const BigEndian& font, uint32_t name_offset, uint32_t name_length) {
  const BigEndian table(font.Slice(name_offset, name_length));
  const uint16_t count = table.U16(2), strings = table.U16(4);
  std::optional<int> best;
  std::string family;
  for (uint16_t i = 0; i < count; ++i) {
    const size_t record = 6 + size_t(i) * 12;
    const uint16_t platform = table.U16(record), encoding = table.U16(record + 2);
    const auto rank = Rank(platform, encoding, table.U16(record + 4), table.U16(record + 6));
    if (!rank || (best && *best <= *rank)) continue;
    const auto data = table.Slice(size_t(strings) + table.U16(record + 10), table.U16(record + 8));
    std::string name = platform == kWindows ? DecodeUtf16Be(data) : DecodeMacRoman(data);
    if (name.empty()) continue;
    best = rank;
    family = std::move(name);
  }
  if (family.empty()) throw FormatError("the font has no family name");
  return family;
}

}  // namespace

pe::Expected<FontFile> ParseFont(std::span<const uint8_t> bytes) {
  return pe::Catching([&] {
    const BigEndian font(bytes);
    const uint32_t version = font.U32(0);
    if (version != kTrueType && version != kAppleTrueType && version != kOpenType)
      throw FormatError("not a TrueType or OpenType font");
    FontFile file;
    file.format = version == kOpenType ? "opentype" : "truetype";
    const uint16_t tables = font.U16(4);
    for (uint16_t i = 0; i < tables && file.family.empty(); ++i) {
      const size_t entry = 12 + size_t(i) * 16;
      if (font.U32(entry) == kNameTag)
        file.family = FamilyName(font, font.U32(entry + 8), font.U32(entry + 12));
    }
    if (file.family.empty()) throw FormatError("the font has no naming table");
    file.bytes.assign(bytes.begin(), bytes.end());
    return file;
  });
}

pe::Expected<FontFile> LoadFont(const std::string& path) {
  auto bytes = pe::ReadFile(path);
  if (!bytes) return std::unexpected(bytes.error());
  auto font = ParseFont(*bytes);
  if (!font) return std::unexpected(path + ": " + font.error());
  return font;
}

}  // namespace kbd
