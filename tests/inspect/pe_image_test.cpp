// The PE reader on images built in memory, and its ARM64X support on the
// built ARM64X module.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "image_builder.h"
#include "pe/arm64x.h"
#include "pe/pe_image.h"

namespace {

using testimage::ImageBuilder;
using testimage::kImageBase;
using testimage::kTextRva;

pe::PeImage MustParse(std::vector<uint8_t> bytes) {
  auto image = pe::PeImage::Parse(std::move(bytes));
  EXPECT_TRUE(image.has_value()) << image.error();
  return std::move(*image);
}

TEST(PeImage, ReadsHeadersAndSections) {
  ImageBuilder b;
  b.U32(0x11223344);
  const pe::PeImage image = MustParse(b.Build());
  const pe::Headers& h = image.headers();
  EXPECT_EQ(h.machine, pe::kMachineI386);
  EXPECT_EQ(h.characteristics, pe::kFileExecutable | pe::kFile32BitMachine | pe::kFileDll);
  EXPECT_EQ(h.magic, pe::kMagicPe32);
  EXPECT_EQ(h.image_base, kImageBase);
  EXPECT_EQ(h.subsystem, 1);
  EXPECT_EQ(h.os_major * 10 + h.os_minor, 51);
  EXPECT_EQ(h.subsystem_major * 10 + h.subsystem_minor, 51);
  EXPECT_EQ(h.entry_point, 0u);
  EXPECT_EQ(h.directories.size(), 16u);
  EXPECT_EQ(h.checksum_offset, 0x40u + 4 + 20 + 64);
  ASSERT_EQ(image.sections().size(), 2u);
  EXPECT_EQ(image.sections()[0].name, ".text");
  EXPECT_EQ(image.sections()[0].virtual_address, kTextRva);
  EXPECT_EQ(image.sections()[0].virtual_size, 4u);
  EXPECT_EQ(image.sections()[1].name, ".reloc");
}

TEST(PeImage, MapsRvasAsTheLoaderDoes) {
  ImageBuilder b;
  b.U32(0xCAFEF00D);
  const pe::PeImage image = MustParse(b.Build());
  EXPECT_EQ(image.RvaToOffset(kTextRva), testimage::kTextFileOffset);
  EXPECT_EQ(image.RvaToOffset(0x3C), 0x3Cu);  // headers map at RVA 0
  EXPECT_EQ(image.U32(kTextRva, "test"), 0xCAFEF00Du);
  EXPECT_EQ(image.VaToRva(kImageBase + 0x1234), 0x1234u);
  EXPECT_FALSE(image.VaToRva(kImageBase - 1));
  // Beyond the section's virtual size (4 bytes) nothing is mapped; the raw
  // padding up to the file alignment does not count.
  EXPECT_FALSE(image.RvaToOffset(kTextRva + 4));
  EXPECT_FALSE(image.ContainsRange(kTextRva + 2, 4));
  EXPECT_THROW(image.U32(kTextRva + 2, "test"), pe::FormatError);
  EXPECT_THROW(image.U8(0x7FFFFFFF, "test"), pe::FormatError);
}

TEST(PeImage, ZeroFillsBeyondRawData) {
  ImageBuilder b;
  b.U32(0x01020304);
  auto bytes = b.Build();
  // Give the code section a virtual size larger than its raw data.
  const size_t section = 0x40 + 24 + 224;
  bytes[section + 8] = 0x00;
  bytes[section + 9] = 0x10;  // virtual size 0x1000
  bytes[section + 16] = 4;
  bytes[section + 17] = 0;  // raw size 4
  const pe::PeImage image = MustParse(bytes);
  EXPECT_EQ(image.U32(kTextRva, "test"), 0x01020304u);
  EXPECT_EQ(image.U32(kTextRva + 0x800, "test"), 0u);
  EXPECT_FALSE(image.RvaToOffset(kTextRva + 0x800));
}

TEST(PeImage, RejectsWhatIsNotA32BitImage) {
  struct Case {
    std::string name;
    std::function<void(std::vector<uint8_t>&)> damage;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"empty", [](auto& b) { b.clear(); }, "no MZ signature"},
      {"no MZ", [](auto& b) { b[0] = 'X'; }, "no MZ signature"},
      {"no PE", [](auto& b) { b[0x40] = 'X'; }, "no PE signature"},
      {"lfanew past end", [](auto& b) { b[0x3F] = 0x7F; }, "NT headers"},
      {"PE32+ header cut short",
       [](auto& b) {
         b[0x40 + 24] = 0x0B;
         b[0x40 + 25] = 0x02;
         b[0x40 + 20] = 100;
       },
       "optional header too small"},
      {"odd magic", [](auto& b) { b[0x40 + 25] = 0x07; }, "not a PE32 or PE32+ image"},
      {"section past end", [](auto& b) { b[0x40 + 24 + 224 + 16 + 2] = 0x10; },
       "runs past the end"},
      {"too many sections", [](auto& b) { b[0x40 + 6] = 200; }, "number of sections"},
      {"small optional header", [](auto& b) { b[0x40 + 20] = 50; }, "optional header too small"},
  };
  ImageBuilder builder;
  builder.U32(1);
  const auto good = builder.Build();
  for (const Case& c : cases) {
    auto bytes = good;
    c.damage(bytes);
    auto image = pe::PeImage::Parse(bytes);
    ASSERT_FALSE(image.has_value()) << c.name;
    EXPECT_NE(image.error().find(c.message), std::string::npos) << c.name << ": " << image.error();
  }
}

TEST(PeImage, ReadsExportsImportsAndRelocations) {
  ImageBuilder b;
  const uint32_t code = b.Raw({0xC3});
  const uint32_t other = b.Raw({0xC3});
  b.Align(4);
  const uint32_t target = b.U32(7);
  const uint32_t site = b.Pointer(target);
  b.Export("First", code);
  b.Export("Second", other);
  b.Import("KERNEL32.dll", {"GetTickCount", "Sleep"});
  b.Import("USER32.dll", {"MessageBoxA"});
  const pe::PeImage image = MustParse(b.Build());

  auto exports = image.Exports();
  ASSERT_TRUE(exports.has_value()) << exports.error();
  EXPECT_EQ(exports->dll_name, "SAMPLE.dll");
  EXPECT_EQ(exports->ordinal_base, 1u);
  ASSERT_EQ(exports->functions.size(), 2u);
  ASSERT_NE(exports->Find("Second"), nullptr);
  EXPECT_EQ(exports->Find("Second")->ordinal, 2u);
  EXPECT_EQ(exports->Find("Second")->rva, other);
  EXPECT_EQ(exports->Find("Third"), nullptr);

  auto imports = image.Imports();
  ASSERT_TRUE(imports.has_value()) << imports.error();
  ASSERT_EQ(imports->size(), 2u);
  EXPECT_EQ((*imports)[0].name, "KERNEL32.dll");
  EXPECT_EQ((*imports)[0].functions, (std::vector<std::string>{"GetTickCount", "Sleep"}));
  EXPECT_EQ((*imports)[1].functions, (std::vector<std::string>{"MessageBoxA"}));

  auto relocations = image.Relocations();
  ASSERT_TRUE(relocations.has_value()) << relocations.error();
  EXPECT_EQ(*relocations, (std::vector<pe::Relocation>{{site, pe::kRelHighLow}}));
}

TEST(PeImage, ReportsDamagedDirectories) {
  ImageBuilder b;
  const uint32_t code = b.Raw({0xC3});
  b.Align(4);
  b.Pointer(code);
  b.Export("Only", code);
  const auto good = b.Build();
  const pe::PeImage parsed = MustParse(good);
  const uint32_t export_dir = parsed.headers().directory(pe::kDirExport).rva;
  const uint32_t reloc_offset =
      *parsed.RvaToOffset(parsed.headers().directory(pe::kDirBaseReloc).rva);

  auto bytes = good;
  // The name table's only entry names function slot 5 of 1.
  const uint32_t ordinals = parsed.U32(export_dir + 36, "test");
  bytes[*parsed.RvaToOffset(ordinals)] = 5;
  auto exports = MustParse(bytes).Exports();
  ASSERT_FALSE(exports.has_value());
  EXPECT_NE(exports.error().find("slot 5"), std::string::npos) << exports.error();

  bytes = good;
  bytes[reloc_offset + 4] = 3;  // block size 3: smaller than its own header
  auto relocations = MustParse(bytes).Relocations();
  ASSERT_FALSE(relocations.has_value());
  EXPECT_NE(relocations.error().find("bad size"), std::string::npos) << relocations.error();

  bytes = good;
  bytes[0x40 + 24 + 96 + 3] = 0x70;  // export directory RVA far outside
  exports = MustParse(bytes).Exports();
  ASSERT_FALSE(exports.has_value());
  EXPECT_NE(exports.error().find("outside the image"), std::string::npos) << exports.error();
}

TEST(PeImage, WalksTheResourceTree) {
  ImageBuilder b;
  b.U32(0);
  b.Resource(16, 1, 0x0409, {1, 2, 3, 4, 5});
  b.Resource(24, 2, 0x0000, {9});
  const auto good = b.Build();
  auto resources = MustParse(good).Resources();
  ASSERT_TRUE(resources.has_value()) << resources.error();
  ASSERT_EQ(resources->size(), 2u);
  const pe::Resource& version = (*resources)[0];
  EXPECT_EQ(version.type.ToString(), "#16");
  EXPECT_EQ(version.name.id, 1);
  EXPECT_EQ(version.language, 0x0409);
  EXPECT_EQ(version.data, (std::vector<uint8_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ((*resources)[1].type.id, 24);

  // A subdirectory entry that points back at the root must not loop forever.
  const pe::PeImage image = MustParse(good);
  const uint32_t root = image.headers().directory(pe::kDirResource).rva;
  auto bytes = good;
  const uint32_t first_target = *image.RvaToOffset(root + 20);
  std::fill(bytes.begin() + first_target, bytes.begin() + first_target + 3, 0);
  auto looped = MustParse(bytes).Resources();
  ASSERT_FALSE(looped.has_value());
  EXPECT_NE(looped.error().find("loops"), std::string::npos) << looped.error();
}

TEST(PeChecksum, FoldsCarriesSkipsTheFieldAndAddsTheLength) {
  // Words 0x0201 + 0x0003 (odd byte padded), plus length 3.
  const std::vector<uint8_t> small = {0x01, 0x02, 0x03};
  EXPECT_EQ(pe::ComputeChecksum(small, 100), 0x0204u + 3);
  // 0xFFFF + 0x0002 = 0x10001 folds to 0x0002.
  const std::vector<uint8_t> carry = {0xFF, 0xFF, 0x02, 0x00};
  EXPECT_EQ(pe::ComputeChecksum(carry, 100), 0x0002u + 4);
  // The four bytes of the field count as zero, wherever they sit.
  const std::vector<uint8_t> field = {0x10, 0x00, 0xAA, 0xBB, 0xCC, 0xDD, 0x01, 0x00};
  EXPECT_EQ(pe::ComputeChecksum(field, 2), 0x0011u + 8);
  const std::vector<uint8_t> odd_field = {0x10, 0xAA, 0xBB, 0xCC, 0xDD, 0x01};
  EXPECT_EQ(pe::ComputeChecksum(odd_field, 1), 0x0010u + 0x0100 + 6);
}

TEST(PeChecksum, IgnoresTheStoredValueOfARealImage) {
  ImageBuilder b;
  for (int i = 0; i < 300; ++i) b.U32(0x9E3779B9u * uint32_t(i));
  auto bytes = b.Build();
  auto first = pe::ComputeChecksum(bytes);
  ASSERT_TRUE(first.has_value()) << first.error();
  const uint32_t field = *pe::ChecksumOffset(bytes);
  EXPECT_EQ(field, 0x40u + 88);
  bytes[field] = 0x5A;
  bytes[field + 3] = 0xA5;
  EXPECT_EQ(*pe::ComputeChecksum(bytes), *first);
  bytes[field + 4] ^= 1;  // the byte after the field does count
  EXPECT_NE(*pe::ComputeChecksum(bytes), *first);
  EXPECT_FALSE(pe::ComputeChecksum(std::vector<uint8_t>{'M', 'Z'}).has_value());
}

}  // namespace

namespace {

// Mapped elsewhere, every relocated pointer moves by the same distance and
// every other byte stays.
TEST(PeImage, MapsTheImageAtAnotherBase) {
  ImageBuilder b;
  const uint32_t target = b.U32(0xCAFE);
  const uint32_t site = b.Pointer(target);
  const pe::PeImage image = MustParse(b.Build());
  auto preferred = pe::MapImage(image, kImageBase);
  auto moved = pe::MapImage(image, kImageBase + 0x20000);
  ASSERT_TRUE(preferred && moved);
  ASSERT_EQ(moved->size(), image.headers().size_of_image);
  const auto u32 = [](const std::vector<uint8_t>& m, uint32_t at) {
    return uint32_t(m[at] | m[at + 1] << 8 | m[at + 2] << 16 | uint32_t(m[at + 3]) << 24);
  };
  EXPECT_EQ(u32(*preferred, site), kImageBase + target);
  EXPECT_EQ(u32(*moved, site), kImageBase + 0x20000 + target);
  EXPECT_EQ(u32(*moved, target), 0xCAFEu);
}

// The built module's ARM64X relocations rewritten as one of each kind: a
// value for the machine, deltas (scaled by 8, or by 4) for the two
// directories, a zero fill of the checksum, and in a later page a negative
// delta at an offset above 0x7FF, after an entry of another kind that must be
// stepped over unread. They must make the real ARM64EC view with its checksum
// cleared and that one value lowered; a damaged record is refused.
TEST(PeArm64x, AppliesEveryKindOfRelocationAndRefusesADamagedTable) {
  auto file = pe::PeImage::Load(LDKEYS_ARM64X_PATH);
  ASSERT_TRUE(file) << file.error();
  const uint32_t config = file->headers().directory(pe::kDirLoadConfig).rva;
  const uint16_t index = file->U16(config + 0xE4, "config") - 1u;
  // Room for a longer table: the section that holds it maps all its raw bytes.
  std::vector<uint8_t> widened = file->bytes();
  const uint32_t size_at = file->headers().directories_offset +
                           8 * uint32_t(file->headers().directories.size()) + 40 * index + 8;
  const uint32_t raw_size = file->sections().at(index).raw_size;
  for (int i = 0; i < 4; ++i) widened[size_at + i] = uint8_t(raw_size >> 8 * i);
  auto native = pe::PeImage::Parse(std::move(widened));
  ASSERT_TRUE(native) << native.error();
  auto ec = pe::Arm64ecView(*native);
  ASSERT_TRUE(ec) << ec.error();
  const pe::Headers& h = native->headers();
  const auto& section = native->sections().at(index);
  const uint32_t table =
      *native->RvaToOffset(section.virtual_address + native->U32(config + 0xE0, "config"));
  // The later page's block: a negative delta, scaled by 8, on the last 8
  // bytes of the load configuration's page.
  const uint32_t high = config | 0xFF8;
  ASSERT_TRUE(native->ContainsRange(high, 8));
  const std::vector<uint16_t> later = {uint16_t(0xFF8 | 2 << 12 | 3 << 14), 0x123};
  // The view made from a table of an entry of another kind (3, import control
  // transfers, whose 32-bit record would read as an ARM64X one of the unknown
  // type 3), then the ARM64X entry: a block of these records for page 0 and
  // the later page's block.
  const auto view = [&](const std::vector<uint16_t>& records) {
    std::vector<uint8_t> bytes = native->bytes();
    uint32_t at = table + 4;
    const auto put = [&](uint64_t value, int size) {
      for (int i = 0; i < size; ++i) bytes[at++] = uint8_t(value >> 8 * i);
    };
    const uint32_t blocks = 8 + 2 * uint32_t(records.size()) + 8 + 2 * uint32_t(later.size());
    put(24 + 12 + blocks, 4);  // the table's size
    put(3, 8), put(12, 4), put(0, 4), put(12, 4), put(0x3000 | h.nt_offset, 4);
    put(6, 8), put(blocks, 4), put(0, 4), put(8 + 2 * records.size(), 4);
    for (uint16_t record : records) put(record, 2);
    put(high & ~0xFFFu, 4), put(8 + 2 * later.size(), 4);
    for (uint16_t record : later) put(record, 2);
    auto image = pe::PeImage::Parse(std::move(bytes));
    return image ? pe::Arm64ecView(*image) : image;
  };

  std::vector<uint16_t> records = {uint16_t((h.nt_offset + 4) | 1 << 12 | 1 << 14), 0x8664};
  for (unsigned dir : {pe::kDirExport, pe::kDirLoadConfig}) {
    const int64_t delta = int64_t(ec->headers().directory(dir).rva) - h.directory(dir).rva;
    const bool by_8 = delta % 8 == 0, negative = delta < 0;
    ASSERT_EQ(delta % 4, 0);
    records.push_back(
        uint16_t((h.directories_offset + 8 * dir) | 2 << 12 | negative << 14 | by_8 << 15));
    records.push_back(uint16_t((negative ? -delta : delta) / (by_8 ? 8 : 4)));
  }
  records.push_back(uint16_t(h.checksum_offset | 0 << 12 | 2 << 14));
  records.push_back(0);  // padding to 4 bytes
  auto rewritten = view(records);
  ASSERT_TRUE(rewritten) << rewritten.error();
  std::vector<uint8_t> expected = ec->bytes();
  std::fill_n(expected.begin() + h.checksum_offset, 4, 0);
  const uint64_t lowered = native->U64(high, "test") - 0x123 * 8;
  for (int i = 0; i < 8; ++i) expected[*native->RvaToOffset(high) + i] = uint8_t(lowered >> 8 * i);
  // Everything before the rewritten table is the real view's.
  EXPECT_TRUE(std::equal(expected.begin(), expected.begin() + table, rewritten->bytes().begin()));

  const std::pair<std::vector<uint16_t>, std::string> damaged[] = {
      {{uint16_t((h.nt_offset + 4) | 3 << 12)}, "unknown type 3"},
      {{uint16_t((h.nt_offset + 4) | 1 << 12 | 3 << 14), 0x8664}, "runs past its block"},
      {{uint16_t(0xFFF | 1 << 12 | 1 << 14), 0x8664}, "changes bytes the file does not hold"},
  };
  for (const auto& [bad, message] : damaged) {
    auto refused = view(bad);
    ASSERT_FALSE(refused) << message;
    EXPECT_NE(refused.error().find(message), std::string::npos) << refused.error();
  }
}

}  // namespace
