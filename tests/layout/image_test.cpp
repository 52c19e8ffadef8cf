// Properties of the built ldkeys.dll image that the keyboard subsystem and
// the loader depend on.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "ldkeys_file.h"

namespace {

using ldkeys_test::Image;
using ldkeys_test::Layout;

const pe::Section* FindSection(const pe::PeImage& image, const std::string& name) {
  for (const auto& s : image.sections())
    if (s.name == name) return &s;
  return nullptr;
}

TEST(LdkeysImage, IsA32BitDllWithNoEntryPointForTheNativeSubsystem) {
  const pe::PeImage* image = Image();
  ASSERT_NE(image, nullptr);
  const pe::Headers& h = image->headers();
  EXPECT_EQ(h.machine, pe::kMachineI386);
  EXPECT_EQ(h.magic, pe::kMagicPe32);
  EXPECT_TRUE(h.characteristics & pe::kFileDll);
  EXPECT_TRUE(h.characteristics & pe::kFileExecutable);
  EXPECT_EQ(h.entry_point, 0u);
  EXPECT_EQ(h.subsystem, 1);  // native
  EXPECT_EQ(h.os_major, 5);
  EXPECT_EQ(h.os_minor, 1);
  EXPECT_EQ(h.subsystem_major, 5);
  EXPECT_EQ(h.subsystem_minor, 1);
  EXPECT_EQ(h.checksum, pe::ComputeChecksum(image->bytes(), h.checksum_offset));
  EXPECT_NE(h.checksum, 0u);
}

TEST(LdkeysImage, CarriesNothingBeyondTablesExportsResourcesAndRelocations) {
  const pe::PeImage* image = Image();
  ASSERT_NE(image, nullptr);
  const pe::Headers& h = image->headers();

  std::vector<std::string> names;
  for (const auto& s : image->sections()) names.push_back(s.name);
  EXPECT_EQ(names, (std::vector<std::string>{".text", ".rsrc", ".reloc"}));

  for (unsigned dir : {pe::kDirImport, pe::kDirException, pe::kDirSecurity, pe::kDirDebug, pe::kDirTls,
                       pe::kDirLoadConfig, pe::kDirIat, pe::kDirDelayImport}) {
    EXPECT_EQ(h.directory(dir).rva, 0u) << "data directory " << dir;
    EXPECT_EQ(h.directory(dir).size, 0u) << "data directory " << dir;
  }
  auto imports = image->Imports();
  ASSERT_TRUE(imports) << imports.error();
  EXPECT_TRUE(imports->empty());

  EXPECT_EQ(h.pointer_to_symbol_table, 0u);
  EXPECT_EQ(h.number_of_symbols, 0u);
  // The tables alone are about 3 KB; headers and section padding bring the
  // image to about 5 to 6 KB.
  EXPECT_GE(image->bytes().size(), 4096u);
  EXPECT_LE(image->bytes().size(), 6144u);
}

TEST(LdkeysImage, KeepsCodeTablesAndExportsInOneReadOnlyExecutableSection) {
  const pe::PeImage* image = Image();
  const kbd::Layout* layout = Layout();
  ASSERT_TRUE(image && layout);
  const pe::Section* text = FindSection(*image, ".text");
  ASSERT_NE(text, nullptr);
  EXPECT_TRUE(text->characteristics & pe::kSectionRead);
  EXPECT_TRUE(text->characteristics & pe::kSectionExecute);
  EXPECT_FALSE(text->characteristics & pe::kSectionWrite);
  for (const auto& s : image->sections()) {
    if (&s == text) continue;
    EXPECT_FALSE(s.characteristics & (pe::kSectionWrite | pe::kSectionExecute)) << s.name;
  }

  EXPECT_EQ(image->SectionOfRva(image->headers().directory(pe::kDirExport).rva), text);
  EXPECT_EQ(image->SectionOfRva(layout->accessor_rva), text);
  EXPECT_EQ(image->SectionOfRva(layout->descriptor_rva), text);
  // Every pointer in the tables leads into the same section.
  for (uint32_t site : layout->pointer_sites) {
    auto target = image->VaToRva(image->U32(site, "pointer"));
    ASSERT_TRUE(target) << "pointer at RVA " << site;
    EXPECT_EQ(image->SectionOfRva(*target), text) << "pointer at RVA " << site;
  }
}

TEST(LdkeysImage, ExportsOnlyTheAccessorWhichLoadsTheDescriptorAddressAndReturns) {
  const pe::PeImage* image = Image();
  const kbd::Layout* layout = Layout();
  ASSERT_TRUE(image && layout);
  auto exports = image->Exports();
  ASSERT_TRUE(exports) << exports.error();
  EXPECT_EQ(exports->dll_name, "LDKEYS.dll");
  EXPECT_EQ(exports->ordinal_base, 1u);
  ASSERT_EQ(exports->functions.size(), 1u);
  const pe::Export& e = exports->functions[0];
  EXPECT_EQ(e.name, "KbdLayerDescriptor");
  EXPECT_EQ(e.ordinal, 1u);
  EXPECT_TRUE(e.forwarder.empty());

  // mov eax, imm32 / ret: nothing but the descriptor's address.
  const std::vector<uint8_t> code = image->Bytes(e.rva, 6, "accessor");
  EXPECT_EQ(code[0], 0xB8);
  EXPECT_EQ(code[5], 0xC3);
  EXPECT_EQ(image->U32(e.rva + 1, "accessor operand"), image->headers().image_base + layout->descriptor_rva);
}

TEST(LdkeysImage, RelocatesEveryAbsoluteAddressAndNothingElse) {
  const pe::PeImage* image = Image();
  const kbd::Layout* layout = Layout();
  ASSERT_TRUE(image && layout);
  auto relocations = image->Relocations();
  ASSERT_TRUE(relocations) << relocations.error();

  std::set<uint32_t> relocated;
  for (const auto& r : *relocations) {
    if (r.type == pe::kRelAbsolute) continue;  // block padding
    EXPECT_EQ(r.type, pe::kRelHighLow) << "at RVA " << r.rva;
    relocated.insert(r.rva);
  }
  const std::set<uint32_t> pointers(layout->pointer_sites.begin(), layout->pointer_sites.end());
  EXPECT_EQ(relocated, pointers);
  // The accessor's operand, 7 descriptor pointers, the modifier key list,
  // 4 character tables, 51 + 22 key names.
  EXPECT_EQ(pointers.size(), 1u + 7 + 1 + 4 + 51 + 22);
}

}  // namespace
