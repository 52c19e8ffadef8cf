// Headers, section table and bounds-checked access to the mapped image.
#include "pe/pe_image.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "pe/text.h"

namespace pe {
namespace {

constexpr uint32_t kDosHeaderSize = 64;
constexpr uint32_t kFileHeaderSize = 20;
constexpr uint32_t kOptionalHeaderFixedSize = 96;       // PE32, before the directories
constexpr uint32_t kOptionalHeaderFixedSizePlus = 112;  // PE32+
constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kMaxSections = 96;  // the loader's own limit
constexpr uint32_t kMaxDirectories = 16;
constexpr uint32_t kMaxCopy = 64u << 20;  // no single read larger than this

// Little-endian reads from the raw file; the caller has checked the range.
uint16_t FileU16(const std::vector<uint8_t>& b, uint32_t at) {
  return uint16_t(b[at] | b[at + 1] << 8);
}
uint32_t FileU32(const std::vector<uint8_t>& b, uint32_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
         uint32_t(b[at + 3]) << 24;
}

void RequireFileRange(const std::vector<uint8_t>& b, uint64_t at, uint64_t size,
                      const std::string& what) {
  if (at + size > b.size())
    throw FormatError(what + " (file offset " + Hex(uint32_t(at)) + ", " + std::to_string(size) +
                      " bytes) runs past the end of the file (" + std::to_string(b.size()) +
                      " bytes)");
}

}  // namespace

Expected<std::vector<uint8_t>> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::unexpected("cannot open " + path);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  if (in.bad()) return std::unexpected("cannot read " + path);
  return bytes;
}

Expected<PeImage> PeImage::Load(const std::string& path) {
  auto bytes = ReadFile(path);
  if (!bytes) return std::unexpected(bytes.error());
  auto image = Parse(std::move(*bytes));
  if (!image) return std::unexpected(path + ": " + image.error());
  return image;
}

Expected<PeImage> PeImage::Parse(std::vector<uint8_t> bytes) {
  return Catching([&] {
    PeImage image;
    image.bytes_ = std::move(bytes);
    image.ReadHeaders();
    image.ReadSections();
    return image;
  });
}

void PeImage::ReadHeaders() {
  const auto& b = bytes_;
  if (b.size() < 2 || b[0] != 'M' || b[1] != 'Z')
    throw FormatError("not a PE image: no MZ signature");
  if (b.size() < kDosHeaderSize)
    throw FormatError("not a PE image: " + std::to_string(b.size()) +
                      " bytes, too short for a DOS header");
  Headers& h = headers_;
  h.nt_offset = FileU32(b, 0x3C);
  RequireFileRange(b, h.nt_offset, 4 + kFileHeaderSize, "NT headers");
  if (FileU32(b, h.nt_offset) != 0x00004550)
    throw FormatError("not a PE image: no PE signature at " + Hex(h.nt_offset));

  const uint32_t fh = h.nt_offset + 4;
  h.machine = FileU16(b, fh);
  h.number_of_sections = FileU16(b, fh + 2);
  h.time_date_stamp = FileU32(b, fh + 4);
  h.pointer_to_symbol_table = FileU32(b, fh + 8);
  h.number_of_symbols = FileU32(b, fh + 12);
  h.size_of_optional_header = FileU16(b, fh + 16);
  h.characteristics = FileU16(b, fh + 18);

  const uint32_t oh = fh + kFileHeaderSize;
  RequireFileRange(b, oh, 2, "optional header");
  h.magic = FileU16(b, oh);
  if (h.magic != kMagicPe32 && h.magic != kMagicPe32Plus)
    throw FormatError("not a PE32 or PE32+ image: optional header magic " + Hex(h.magic));
  // PE32+ widens the image base and the four stack and heap sizes to 64 bits
  // and drops BaseOfData; everything between keeps its offset.
  const bool plus = h.pe32_plus();
  const uint32_t fixed_size = plus ? kOptionalHeaderFixedSizePlus : kOptionalHeaderFixedSize;
  if (h.size_of_optional_header < fixed_size)
    throw FormatError("optional header too small: " + std::to_string(h.size_of_optional_header) +
                      " bytes");
  RequireFileRange(b, oh, h.size_of_optional_header, "optional header");

  h.linker_major = b[oh + 2];
  h.linker_minor = b[oh + 3];
  h.size_of_code = FileU32(b, oh + 4);
  h.entry_point = FileU32(b, oh + 16);
  h.image_base =
      plus ? FileU32(b, oh + 24) | uint64_t(FileU32(b, oh + 28)) << 32 : FileU32(b, oh + 28);
  h.section_alignment = FileU32(b, oh + 32);
  h.file_alignment = FileU32(b, oh + 36);
  h.os_major = FileU16(b, oh + 40);
  h.os_minor = FileU16(b, oh + 42);
  h.image_major = FileU16(b, oh + 44);
  h.image_minor = FileU16(b, oh + 46);
  h.subsystem_major = FileU16(b, oh + 48);
  h.subsystem_minor = FileU16(b, oh + 50);
  h.size_of_image = FileU32(b, oh + 56);
  h.size_of_headers = FileU32(b, oh + 60);
  h.checksum_offset = oh + 64;
  h.checksum = FileU32(b, oh + 64);
  h.subsystem = FileU16(b, oh + 68);
  h.dll_characteristics = FileU16(b, oh + 70);

  const uint32_t count = FileU32(b, oh + fixed_size - 4);
  if (count > kMaxDirectories)
    throw FormatError("implausible number of data directories: " + std::to_string(count));
  if (fixed_size + 8 * count > h.size_of_optional_header)
    throw FormatError("data directories run past the optional header");
  h.directories_offset = oh + fixed_size;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t at = oh + fixed_size + 8 * i;
    h.directories.push_back({FileU32(b, at), FileU32(b, at + 4)});
  }
}

void PeImage::ReadSections() {
  const auto& b = bytes_;
  const Headers& h = headers_;
  if (h.number_of_sections > kMaxSections)
    throw FormatError("implausible number of sections: " + std::to_string(h.number_of_sections));
  const uint32_t table = h.nt_offset + 4 + kFileHeaderSize + h.size_of_optional_header;
  RequireFileRange(b, table, uint64_t(kSectionHeaderSize) * h.number_of_sections, "section table");

  for (uint32_t i = 0; i < h.number_of_sections; ++i) {
    const uint32_t at = table + kSectionHeaderSize * i;
    Section s;
    s.name.assign(reinterpret_cast<const char*>(&b[at]), 8);
    s.name.erase(std::find(s.name.begin(), s.name.end(), '\0'), s.name.end());
    s.virtual_size = FileU32(b, at + 8);
    s.virtual_address = FileU32(b, at + 12);
    s.raw_size = FileU32(b, at + 16);
    s.raw_offset = FileU32(b, at + 20);
    s.characteristics = FileU32(b, at + 36);
    const std::string what = "section " + std::to_string(i) + " '" + s.name + "'";
    if (s.raw_size) RequireFileRange(b, s.raw_offset, s.raw_size, what + " raw data");
    if (uint64_t(s.virtual_address) + s.mapped_size() > 0xFFFFFFFFull)
      throw FormatError(what + " extends past the 4 GB address space");
    sections_.push_back(std::move(s));
  }
}

const Section* PeImage::SectionOfRva(uint32_t rva) const {
  for (const Section& s : sections_)
    if (rva >= s.virtual_address && rva - s.virtual_address < s.mapped_size()) return &s;
  return nullptr;
}

std::optional<uint32_t> PeImage::RvaToOffset(uint32_t rva) const {
  if (const Section* s = SectionOfRva(rva)) {
    const uint32_t delta = rva - s->virtual_address;
    if (delta < s->raw_size) return s->raw_offset + delta;
    return std::nullopt;  // zero-filled, not stored in the file
  }
  if (rva < std::min<uint64_t>(headers_.size_of_headers, bytes_.size())) return rva;
  return std::nullopt;
}

std::optional<uint8_t> PeImage::ByteAt(uint32_t rva) const {
  if (const Section* s = SectionOfRva(rva)) {
    const uint32_t delta = rva - s->virtual_address;
    return delta < s->raw_size ? bytes_[s->raw_offset + delta] : uint8_t(0);
  }
  if (rva < std::min<uint64_t>(headers_.size_of_headers, bytes_.size())) return bytes_[rva];
  return std::nullopt;
}

bool PeImage::ContainsRange(uint32_t rva, uint64_t size) const {
  if (size == 0) return true;
  const uint64_t end = uint64_t(rva) + size;
  if (const Section* s = SectionOfRva(rva))
    return end <= uint64_t(s->virtual_address) + s->mapped_size();
  return end <= std::min<uint64_t>(headers_.size_of_headers, bytes_.size());
}

std::optional<uint32_t> PeImage::VaToRva(uint64_t va) const {
  if (va < headers_.image_base || va - headers_.image_base > 0xFFFFFFFFu) return std::nullopt;
  return uint32_t(va - headers_.image_base);
}

bool PeImage::CopyOut(uint32_t rva, uint32_t size, uint8_t* out) const {
  if (!ContainsRange(rva, size)) return false;
  if (size == 0) return true;
  if (const Section* s = SectionOfRva(rva)) {
    const uint32_t delta = rva - s->virtual_address;
    const uint32_t stored = delta < s->raw_size ? std::min(size, s->raw_size - delta) : 0;
    std::copy_n(bytes_.begin() + s->raw_offset + delta, stored, out);
    std::fill(out + stored, out + size, uint8_t(0));
  } else {
    std::copy_n(bytes_.begin() + rva, size, out);
  }
  return true;
}

void PeImage::Read(uint32_t rva, uint32_t size, uint8_t* out, const char* what) const {
  if (!CopyOut(rva, size, out))
    throw FormatError(std::string(what) + " at RVA " + Hex(rva) + " (" + std::to_string(size) +
                      " bytes) lies outside the image");
}

std::vector<uint8_t> PeImage::Bytes(uint32_t rva, uint32_t size, const char* what) const {
  if (size > kMaxCopy)
    throw FormatError(std::string(what) + " is implausibly large (" + std::to_string(size) +
                      " bytes)");
  std::vector<uint8_t> out(size);
  Read(rva, size, out.data(), what);
  return out;
}

uint8_t PeImage::U8(uint32_t rva, const char* what) const {
  uint8_t b[1];
  Read(rva, 1, b, what);
  return b[0];
}

uint16_t PeImage::U16(uint32_t rva, const char* what) const {
  uint8_t b[2];
  Read(rva, 2, b, what);
  return uint16_t(b[0] | b[1] << 8);
}

uint32_t PeImage::U32(uint32_t rva, const char* what) const {
  uint8_t b[4];
  Read(rva, 4, b, what);
  return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

uint64_t PeImage::U64(uint32_t rva, const char* what) const {
  uint8_t b[8];
  Read(rva, 8, b, what);
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | b[i];
  return value;
}

std::string PeImage::AsciiZ(uint32_t rva, const char* what, size_t max_length) const {
  std::string text;
  for (size_t i = 0;; ++i) {
    if (i > max_length)
      throw FormatError(std::string(what) + " at RVA " + Hex(rva) + " is not terminated within " +
                        std::to_string(max_length) + " characters");
    const auto c = ByteAt(rva + uint32_t(i));
    if (!c || uint64_t(rva) + i > 0xFFFFFFFFull)
      throw FormatError(std::string(what) + " at RVA " + Hex(rva) + " runs outside the image");
    if (*c == 0) return text;
    text.push_back(char(*c));
  }
}

}  // namespace pe
