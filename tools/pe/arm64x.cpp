// The hybrid metadata of ARM64X images, their ARM64EC view, and mapping an
// image at an address of the caller's choosing.
#include "pe/arm64x.h"

#include <algorithm>

#include "pe/text.h"

namespace pe {
namespace {

// IMAGE_LOAD_CONFIG_DIRECTORY64 fields, by offset.
constexpr uint32_t kLoadConfigChpePointer = 0xC8;
constexpr uint32_t kLoadConfigDvrtOffset = 0xE0;   // DynamicValueRelocTableOffset
constexpr uint32_t kLoadConfigDvrtSection = 0xE4;  // DynamicValueRelocTableSection
// IMAGE_ARM64EC_METADATA: Version, CodeMap, CodeMapCount.
constexpr uint32_t kMetadataCodeMap = 4;
constexpr uint32_t kMetadataCodeMapCount = 8;
// IMAGE_DYNAMIC_RELOCATION64.Symbol of the ARM64X relocations.
constexpr uint64_t kDynamicRelocationArm64x = 6;
constexpr uint32_t kMaxCodeRanges = 4096;
constexpr uint32_t kMaxImageSize = 256u << 20;

// A little-endian value of `width` bytes in a byte buffer.
uint64_t LoadLe(const uint8_t* at, unsigned width) {
  uint64_t value = 0;
  for (unsigned i = width; i-- > 0;) value = value << 8 | at[i];
  return value;
}
void StoreLe(uint8_t* at, uint64_t value, unsigned width) {
  for (unsigned i = 0; i < width; ++i) at[i] = uint8_t(value >> 8 * i);
}

// The load configuration's RVA when it is large enough to hold `field`
// (8 bytes), or nullopt.
std::optional<uint32_t> LoadConfigWith(const PeImage& image, uint32_t field) {
  const DataDirectory dir = image.headers().directory(kDirLoadConfig);
  if (dir.rva == 0 || !image.headers().pe32_plus()) return std::nullopt;
  const uint32_t size = image.U32(dir.rva, "load configuration");
  if (size < field + 8) return std::nullopt;
  if (!image.ContainsRange(dir.rva, size))
    throw FormatError("the load configuration at RVA " + Hex(dir.rva) + " (" +
                      std::to_string(size) + " bytes) lies outside the image");
  return dir.rva;
}

std::optional<uint32_t> MetadataRva(const PeImage& image) {
  const auto config = LoadConfigWith(image, kLoadConfigChpePointer);
  if (!config) return std::nullopt;
  const uint64_t va = image.U64(*config + kLoadConfigChpePointer, "load configuration");
  if (va == 0) return std::nullopt;
  const auto rva = image.VaToRva(va);
  if (!rva || !image.ContainsRange(*rva, kMetadataCodeMapCount + 4))
    throw FormatError("the CHPE metadata pointer " + Hex(va) + " leads outside the image");
  return rva;
}

// The RVA and size of the dynamic relocation table, or nullopt.
std::optional<DataDirectory> DynamicRelocationTable(const PeImage& image) {
  const auto config = LoadConfigWith(image, kLoadConfigDvrtOffset);
  if (!config) return std::nullopt;
  const uint32_t offset = image.U32(*config + kLoadConfigDvrtOffset, "load configuration");
  const uint16_t section = image.U16(*config + kLoadConfigDvrtSection, "load configuration");
  if (section == 0) return std::nullopt;
  if (section > image.sections().size())
    throw FormatError("the dynamic relocation table is in section " + std::to_string(section) +
                      " of " + std::to_string(image.sections().size()));
  const uint32_t rva = image.sections()[section - 1].virtual_address + offset;
  const uint32_t version = image.U32(rva, "dynamic relocation table");
  if (version != 1)
    throw FormatError("dynamic relocation table version " + std::to_string(version) +
                      " (only version 1 is known)");
  const uint32_t size = image.U32(rva + 4, "dynamic relocation table");
  if (!image.ContainsRange(rva + 8, size))
    throw FormatError("the dynamic relocation table at RVA " + Hex(rva) + " (" +
                      std::to_string(size) + " bytes) runs outside the image");
  return DataDirectory{rva + 8, size};
}

// Reads the ARM64X records of one block (IMAGE_BASE_RELOCATION header, then
// 16-bit records: 12 bits of offset, 2 of type, 2 of size or of sign and
// scale; a value follows its record).
void ReadFixupBlock(const PeImage& image, uint32_t at, uint32_t block_size,
                    std::vector<Arm64xFixup>& out) {
  const uint32_t page = image.U32(at, "ARM64X relocation block");
  for (uint32_t offset = 8; offset < block_size;) {
    const uint16_t record = image.U16(at + offset, "ARM64X relocation");
    offset += 2;
    if (record == 0 && offset == block_size) break;  // padding to 4 bytes
    Arm64xFixup fixup;
    fixup.rva = page + (record & 0x0FFFu);
    const unsigned type = record >> 12 & 3, bits = record >> 14 & 3;
    uint32_t operand = 0;
    switch (type) {
      case 0:
        fixup.kind = Arm64xFixup::Kind::kZero;
        fixup.size = uint8_t(1u << bits);
        break;
      case 1:
        fixup.kind = Arm64xFixup::Kind::kValue;
        fixup.size = uint8_t(1u << bits);
        operand = fixup.size;
        break;
      case 2:
        fixup.kind = Arm64xFixup::Kind::kDelta;
        fixup.size = 8;
        operand = 2;
        break;
      default:
        throw FormatError("ARM64X relocation at RVA " + Hex(fixup.rva) + " has unknown type 3");
    }
    if (offset + operand > block_size)
      throw FormatError("ARM64X relocation at RVA " + Hex(fixup.rva) + " runs past its block");
    if (fixup.kind == Arm64xFixup::Kind::kValue) {
      fixup.value = LoadLe(image.Bytes(at + offset, operand, "ARM64X relocation").data(), operand);
    } else if (fixup.kind == Arm64xFixup::Kind::kDelta) {
      // Bit 14 negates, bit 15 scales by 8 instead of 4.
      const int64_t magnitude =
          int64_t(image.U16(at + offset, "ARM64X relocation")) * ((bits & 2) ? 8 : 4);
      fixup.delta = (bits & 1) ? -magnitude : magnitude;
    }
    offset += operand;
    out.push_back(fixup);
  }
}

}  // namespace

const char* CodeKindName(CodeKind kind) {
  switch (kind) {
    case CodeKind::kArm64: return "ARM64";
    case CodeKind::kArm64ec: return "ARM64EC";
    case CodeKind::kAmd64: return "x64";
  }
  return "unknown";
}

Expected<std::optional<uint32_t>> HybridMetadataRva(const PeImage& image) {
  return Catching([&] { return MetadataRva(image); });
}

bool IsArm64x(const PeImage& image) {
  if (image.headers().machine != kMachineArm64) return false;
  const auto rva = HybridMetadataRva(image);
  return rva && *rva;
}

Expected<std::vector<CodeRange>> HybridCodeMap(const PeImage& image) {
  return Catching([&] {
    std::vector<CodeRange> out;
    const auto metadata = MetadataRva(image);
    if (!metadata) return out;
    const uint32_t map = image.U32(*metadata + kMetadataCodeMap, "CHPE metadata");
    const uint32_t count = image.U32(*metadata + kMetadataCodeMapCount, "CHPE metadata");
    if (count > kMaxCodeRanges)
      throw FormatError("implausible code map of " + std::to_string(count) + " ranges");
    for (uint32_t i = 0; i < count; ++i) {
      // IMAGE_CHPE_RANGE_ENTRY: the start, whose low two bits give the kind, and the length.
      const uint32_t start = image.U32(map + 8 * i, "code map");
      const uint32_t length = image.U32(map + 8 * i + 4, "code map");
      CodeRange range{start & ~3u, (start & ~3u) + length, CodeKind(start & 3)};
      if ((start & 3) == 3 || range.end < range.begin || !image.ContainsRange(range.begin, length))
        throw FormatError("code map entry " + std::to_string(i) + " (" + Hex(start) + ", " +
                          std::to_string(length) + " bytes) is not a range of the image");
      out.push_back(range);
    }
    return out;
  });
}

Expected<std::vector<Arm64xFixup>> Arm64xFixups(const PeImage& image) {
  return Catching([&] {
    std::vector<Arm64xFixup> out;
    const auto table = DynamicRelocationTable(image);
    if (!table) return out;
    // IMAGE_DYNAMIC_RELOCATION64 entries: Symbol, BaseRelocSize, then blocks.
    for (uint32_t at = 0; at + 12 <= table->size;) {
      const uint64_t symbol = image.U64(table->rva + at, "dynamic relocation");
      const uint32_t blocks_size = image.U32(table->rva + at + 8, "dynamic relocation");
      at += 12;
      if (blocks_size > table->size - at)
        throw FormatError("dynamic relocation entry runs past its table");
      for (uint32_t block = 0; symbol == kDynamicRelocationArm64x && block + 8 <= blocks_size;) {
        const uint32_t block_size = image.U32(table->rva + at + block + 4, "ARM64X block");
        if (block_size < 8 || block_size % 2 || block_size > blocks_size - block)
          throw FormatError("ARM64X relocation block has a bad size " + std::to_string(block_size));
        ReadFixupBlock(image, table->rva + at + block, block_size, out);
        block += block_size;
      }
      at += blocks_size;
    }
    return out;
  });
}

Expected<PeImage> Arm64ecView(const PeImage& image) {
  if (!IsArm64x(image)) return std::unexpected("not an ARM64X image: it has no ARM64EC view");
  auto fixups = Arm64xFixups(image);
  if (!fixups) return std::unexpected(fixups.error());
  std::vector<uint8_t> bytes = image.bytes();
  for (const Arm64xFixup& fixup : *fixups) {
    const auto first = image.RvaToOffset(fixup.rva);
    const auto last = image.RvaToOffset(fixup.rva + fixup.size - 1);
    if (!first || !last || *last != *first + fixup.size - 1u)
      return std::unexpected("ARM64X relocation at RVA " + Hex(fixup.rva) +
                             " changes bytes the file does not hold");
    uint64_t value = fixup.value;
    if (fixup.kind == Arm64xFixup::Kind::kDelta)
      value = image.U64(fixup.rva, "ARM64X relocation") + uint64_t(fixup.delta);
    else if (fixup.kind == Arm64xFixup::Kind::kZero)
      value = 0;
    StoreLe(&bytes[*first], value, fixup.size);
  }
  auto view = PeImage::Parse(std::move(bytes));
  if (!view) return std::unexpected("the ARM64EC view: " + view.error());
  return view;
}

Expected<std::vector<uint8_t>> MapImage(const PeImage& image, uint64_t base) {
  const Headers& h = image.headers();
  if (h.size_of_image > kMaxImageSize)
    return std::unexpected("implausible SizeOfImage " + std::to_string(h.size_of_image));
  auto relocations = image.Relocations();
  if (!relocations) return std::unexpected(relocations.error());
  std::vector<uint8_t> mapped(h.size_of_image);
  auto copied = Catching([&] {
    const uint32_t headers = std::min<uint32_t>(h.size_of_headers, h.size_of_image);
    std::copy_n(image.Bytes(0, headers, "headers").begin(), headers, mapped.begin());
    for (const Section& s : image.sections()) {
      if (uint64_t(s.virtual_address) + s.mapped_size() > mapped.size())
        throw FormatError("section '" + s.name + "' runs past SizeOfImage");
      const auto data = image.Bytes(s.virtual_address, s.mapped_size(), "section");
      std::copy(data.begin(), data.end(), mapped.begin() + s.virtual_address);
    }
    return true;
  });
  if (!copied) return std::unexpected(copied.error());

  const uint64_t delta = base - h.image_base;
  for (const Relocation& r : *relocations) {
    const unsigned width = r.type == kRelDir64 ? 8 : r.type == kRelHighLow ? 4 : 0;
    if (width == 0 || uint64_t(r.rva) + width > mapped.size())
      return std::unexpected("cannot apply the base relocation of type " + std::to_string(r.type) +
                             " at RVA " + Hex(r.rva));
    StoreLe(&mapped[r.rva], LoadLe(&mapped[r.rva], width) + delta, width);
  }
  return mapped;
}

}  // namespace pe
