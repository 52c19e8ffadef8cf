// The layout reader on layout images built in memory, intact and damaged.
#include <gtest/gtest.h>

#include <random>

#include "image_builder.h"
#include "kbdinspect/layout.h"
#include "kbdinspect/report.h"

namespace {

using testimage::AccessorShape;
using testimage::BuildLayoutImage;
using testimage::FileOffset;
using testimage::SampleLayout;

kbd::Expected<kbd::Layout> Read(const std::vector<uint8_t>& bytes) {
  auto image = pe::PeImage::Parse(bytes);
  if (!image) return std::unexpected(image.error());
  return kbd::ReadLayout(*image);
}

void Put32(std::vector<uint8_t>& b, uint32_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.at(at + i) = uint8_t(v >> (8 * i));
}

void ExpectError(const std::vector<uint8_t>& bytes, const std::string& fragment) {
  auto layout = Read(bytes);
  ASSERT_FALSE(layout.has_value()) << "expected an error mentioning '" << fragment << "'";
  EXPECT_NE(layout.error().find(fragment), std::string::npos) << layout.error();
}

TEST(LayoutReader, ReadsBackEveryRecordItWasBuiltFrom) {
  const kbd::Layout sample = SampleLayout();
  const auto built = BuildLayoutImage(sample);
  auto image = pe::PeImage::Parse(built.bytes);
  ASSERT_TRUE(image.has_value()) << image.error();
  auto layout = kbd::ReadLayout(*image);
  ASSERT_TRUE(layout.has_value()) << layout.error();

  EXPECT_EQ(layout->descriptor_rva, built.descriptor_rva);
  EXPECT_EQ(layout->accessor_rva, built.accessor_rva);
  EXPECT_EQ(layout->image_base, testimage::kImageBase);
  EXPECT_EQ(layout->locale_flags(), sample.locale_flags());
  EXPECT_EQ(layout->descriptor.bMaxVSCtoVK, 0x40);
  EXPECT_EQ(layout->descriptor.dwType, 4u);
  EXPECT_EQ(layout->descriptor.pDeadKey, 0u);
  EXPECT_EQ(layout->modifiers.vk_to_bit, sample.modifiers.vk_to_bit);
  EXPECT_EQ(layout->modifiers.max_mod_bits, 7);
  EXPECT_EQ(layout->modifiers.mod_number, sample.modifiers.mod_number);
  EXPECT_EQ(layout->scan_to_vk, sample.scan_to_vk);
  EXPECT_EQ(layout->e0, sample.e0);  // file order kept, not sorted
  EXPECT_EQ(layout->e1, sample.e1);
  EXPECT_EQ(layout->key_names, sample.key_names);
  EXPECT_EQ(layout->key_names_ext, sample.key_names_ext);
  ASSERT_EQ(layout->tables.size(), sample.tables.size());
  for (size_t t = 0; t < sample.tables.size(); ++t) {
    EXPECT_EQ(layout->tables[t].columns, sample.tables[t].columns);
    EXPECT_EQ(layout->tables[t].row_size, sample.tables[t].row_size);
    EXPECT_EQ(layout->tables[t].rows, sample.tables[t].rows) << "table " << t + 1;
  }
  EXPECT_TRUE(layout->dead_keys.empty());
  EXPECT_TRUE(layout->ligatures.empty());
  // Every pointer followed, the accessor's operand included, is relocated.
  EXPECT_EQ(layout->pointer_sites.size(), 1u + 7 + 1 + 3 + 5);
  EXPECT_TRUE(kbd::RelocationGaps(*image, *layout).empty());
}

// The text chart puts every combining mark on a dotted circle, not only the
// marks of the Latin diacritic blocks: U+0591 is a Hebrew accent.
TEST(LayoutReport, ShowsEveryCombiningMarkOnADottedCircle) {
  EXPECT_EQ(kbd::CellText(0x0591), "U+0591 \u25CC\u0591");
  EXPECT_EQ(kbd::CellText(0x00E5), "U+00E5 \u00E5");
}

TEST(LayoutReader, AcceptsOnlyTheAccessorShapesCompilersEmit) {
  for (AccessorShape shape :
       {AccessorShape::kPlain, AccessorShape::kGnuFrame, AccessorShape::kMsvcFrame}) {
    auto layout = Read(BuildLayoutImage(SampleLayout(), shape).bytes);
    ASSERT_TRUE(layout.has_value()) << int(shape) << ": " << layout.error();
  }
  // `mov eax, [address]` reads memory: that is not `return &descriptor;`.
  ExpectError(BuildLayoutImage(SampleLayout(), AccessorShape::kLoadFromMemory).bytes,
              "does not just load an address and return");
  auto bytes = BuildLayoutImage(SampleLayout()).bytes;
  const uint32_t code = FileOffset(BuildLayoutImage(SampleLayout()).accessor_rva);
  bytes[code + 5] = 0x90;  // nop where the ret should be
  ExpectError(bytes, "does not just load an address and return");
}

TEST(LayoutReader, NamesEachDescriptorPointerThatLeavesTheImage) {
  const auto built = BuildLayoutImage(SampleLayout());
  const std::pair<uint32_t, const char*> fields[] = {
      {0, "pCharModifiers"}, {4, "pVkToWcharTable"}, {8, "pDeadKey"},    {12, "pKeyNames"},
      {16, "pKeyNamesExt"},  {20, "pKeyNamesDead"},  {24, "pusVSCtoVK"}, {32, "pVSCtoVK_E0"},
      {36, "pVSCtoVK_E1"},   {48, "pLigature"}};
  for (auto [offset, name] : fields) {
    for (uint32_t va : {0x7FFF0000u, testimage::kImageBase - 4, testimage::kImageBase + 0x8000}) {
      auto bytes = built.bytes;
      Put32(bytes, FileOffset(built.descriptor_rva + offset), va);
      ExpectError(bytes, name);
      ExpectError(bytes, "outside the image");
    }
  }
  // The accessor's own address, and a descriptor that does not fit.
  auto bytes = built.bytes;
  Put32(bytes, FileOffset(built.accessor_rva + 1), 0x12345678);
  ExpectError(bytes, "KbdLayerDescriptor's address points outside the image");
}

TEST(LayoutReader, RejectsInconsistentTables) {
  const auto built = BuildLayoutImage(SampleLayout());
  // A row size smaller than the columns need (5 columns need 12 bytes).
  auto bytes = built.bytes;
  bytes[FileOffset(built.table_list_rva[1]) + 5] = 10;
  ExpectError(bytes, "row size 10 is smaller than its 5 columns need (12)");

  // Null tables the layout cannot do without.
  bytes = built.bytes;
  Put32(bytes, FileOffset(built.descriptor_rva + 4), 0);
  ExpectError(bytes, "no character tables");
  bytes = built.bytes;
  Put32(bytes, FileOffset(built.descriptor_rva + 0), 0);
  ExpectError(bytes, "no modifier record");
}

TEST(LayoutReader, StopsAtUnterminatedLists) {
  kbd::Layout big = SampleLayout();
  // An E0 list of 300 pairs: the reader's bound (256) is far above any real
  // list, so a list that long is taken as unterminated.
  for (int i = 0; i < 300; ++i) big.e0.push_back({uint8_t(1 + i % 250), 0x41});
  ExpectError(BuildLayoutImage(big).bytes, "pVSCtoVK_E0 list is not terminated");

  kbd::Layout long_table = SampleLayout();
  for (int i = 0; i < 600; ++i) long_table.tables[2].rows.push_back({0x41, 0, {'x'}});
  ExpectError(BuildLayoutImage(long_table).bytes, "rows of character table 3 is not terminated");

  // Lists that run off the end of the image before their terminator.
  const auto built =
      BuildLayoutImage(SampleLayout(), AccessorShape::kPlain, std::vector<uint8_t>(64, 0x41));
  const std::pair<uint32_t, const char*> lists[] = {
      {built.descriptor_rva + 36, "pVSCtoVK_E1"},
      {built.descriptor_rva + 12, "pKeyNames"},
      {built.table_list_rva[0], "character table 1"},
  };
  for (auto [site, name] : lists) {
    auto bytes = built.bytes;
    Put32(bytes, FileOffset(site), testimage::kImageBase + built.tail_rva);
    ExpectError(bytes, name);
    ExpectError(bytes, "outside the image");
  }
}

TEST(LayoutReader, ExplainsFilesThatAreNoLayout) {
  auto built = BuildLayoutImage(SampleLayout());
  auto bytes = built.bytes;
  bytes[0x40 + 4] = 0x64;  // machine 0x8664 in a PE32 image
  bytes[0x40 + 5] = 0x86;
  ExpectError(bytes, "not an i386 (PE32), AMD64 or ARM64 (PE32+) image (machine 0x8664, PE32)");

  testimage::ImageBuilder b;
  b.Export("SomethingElse", b.Raw({0xC3}));
  ExpectError(b.Build(), "exports no KbdLayerDescriptor");

  auto missing = kbd::LoadLayout("/nonexistent/layout.dll");
  ASSERT_FALSE(missing.has_value());
  EXPECT_NE(missing.error().find("cannot open /nonexistent/layout.dll"), std::string::npos);
}

// Damaged files must give an error or a layout, never a crash: these run
// under AddressSanitizer and UndefinedBehaviorSanitizer.
struct DamageCounts {
  size_t truncated_readable = 0;  // truncated copies that still read as a layout
  size_t altered_readable = 0;    // altered copies that still read as a layout
};

bool ReadsAsLayout(const std::vector<uint8_t>& bytes) {
  auto image = pe::PeImage::Parse(bytes);
  if (!image) {
    EXPECT_FALSE(image.error().empty());
    return false;
  }
  (void)image->Resources();
  (void)image->Imports();
  auto layout = kbd::ReadLayout(*image);
  if (!layout) {
    EXPECT_FALSE(layout.error().empty());
    return false;
  }
  (void)kbd::RelocationGaps(*image, *layout);
  return true;
}

DamageCounts ReadDamagedCopies(const std::vector<uint8_t>& good) {
  DamageCounts counts;
  for (size_t length = 0; length < good.size(); ++length)
    counts.truncated_readable += ReadsAsLayout({good.begin(), good.begin() + long(length)});
  for (size_t at = 0; at < good.size(); ++at)
    for (uint8_t value : {uint8_t(0x00), uint8_t(0xFF), uint8_t(good[at] ^ 0x80)}) {
      auto bytes = good;
      bytes[at] = value;
      counts.altered_readable += ReadsAsLayout(bytes);
    }
  std::mt19937 random(20240601);
  std::uniform_int_distribution<size_t> position(0, good.size() - 1);
  for (int round = 0; round < 2000; ++round) {
    auto bytes = good;
    for (int i = 0; i < 6; ++i) bytes[position(random)] = uint8_t(random());
    counts.altered_readable += ReadsAsLayout(bytes);
  }
  return counts;
}

TEST(LayoutReader, SurvivesTruncatedAndCorruptedImages) {
  const auto good = BuildLayoutImage(SampleLayout()).bytes;
  const DamageCounts counts = ReadDamagedCopies(good);
  EXPECT_EQ(counts.truncated_readable, 0u);         // cutting into the sections is always caught
  EXPECT_GT(counts.altered_readable, good.size());  // many changes land in table cells
}

TEST(LayoutReader, SurvivesTruncatedAndCorruptedCopiesOfTheBuiltModule) {
  auto module = pe::ReadFile(LDKEYS_DLL_PATH);
  if (!module) GTEST_SKIP() << "the Windows build has not made " << LDKEYS_DLL_PATH;
  ASSERT_TRUE(kbd::LoadLayout(LDKEYS_DLL_PATH).has_value());
  EXPECT_GT(ReadDamagedCopies(*module).altered_readable, module->size());
}

}  // namespace
