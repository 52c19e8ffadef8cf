// Properties of the built ldkeys.dll images that the keyboard subsystem and
// the loader depend on, for each of the four modules and both views of the
// ARM64X one.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "ldkeys_file.h"

namespace {

using ldkeys_test::Module;

// What differs between the modules' images.
struct Expected {
  uint16_t machine;
  uint16_t magic;
  uint16_t windows_major, windows_minor;  // operating system and subsystem version
  uint8_t relocation;
  size_t pointers;  // the accessor's operand counts in i386 code only
  bool arm64x;      // one of the two views of the ARM64X image
};

Expected ExpectedOf(Module module) {
  // The accessor's operand, 7 descriptor pointers, the modifier key list,
  // 4 character tables, 51 + 22 key names.
  constexpr size_t kTablePointers = 7 + 1 + 4 + 51 + 22;
  switch (module) {
    case Module::kI386:
    case Module::kWow64:
      return {pe::kMachineI386, pe::kMagicPe32, 5, 1, pe::kRelHighLow, 1 + kTablePointers, false};
    case Module::kAmd64:
      return {pe::kMachineAmd64, pe::kMagicPe32Plus, 5, 2, pe::kRelDir64, kTablePointers, false};
    case Module::kArm64:
      return {pe::kMachineArm64, pe::kMagicPe32Plus, 6, 2, pe::kRelDir64, kTablePointers, true};
    case Module::kArm64ec:
      return {pe::kMachineAmd64, pe::kMagicPe32Plus, 6, 2, pe::kRelDir64, kTablePointers, true};
  }
  return {};
}

// The file as stored: for the ARM64EC view, the ARM64X file it comes from.
const pe::PeImage* FileOf(Module module) {
  return ldkeys_test::Image(module == Module::kArm64ec ? Module::kArm64 : module);
}

class LdkeysImage : public ::testing::TestWithParam<Module> {
 protected:
  const pe::PeImage* Image() const { return ldkeys_test::Image(GetParam()); }
  const kbd::Layout* Layout() const { return ldkeys_test::Layout(GetParam()); }
  Expected expected() const { return ExpectedOf(GetParam()); }
};

const pe::Section* FindSection(const pe::PeImage& image, const std::string& name) {
  for (const auto& s : image.sections())
    if (s.name == name) return &s;
  return nullptr;
}

TEST_P(LdkeysImage, IsADllOfItsArchitectureWithNoEntryPointForTheNativeSubsystem) {
  const pe::PeImage* image = Image();
  ASSERT_NE(image, nullptr);
  const pe::Headers& h = image->headers();
  EXPECT_EQ(h.machine, expected().machine);
  EXPECT_EQ(h.magic, expected().magic);
  EXPECT_TRUE(h.characteristics & pe::kFileDll);
  EXPECT_TRUE(h.characteristics & pe::kFileExecutable);
  EXPECT_EQ(h.entry_point, 0u);
  EXPECT_EQ(h.subsystem, 1);  // native
  EXPECT_EQ(h.os_major, expected().windows_major);
  EXPECT_EQ(h.os_minor, expected().windows_minor);
  EXPECT_EQ(h.subsystem_major, expected().windows_major);
  EXPECT_EQ(h.subsystem_minor, expected().windows_minor);
  // The checksum is the file's, which the ARM64X relocations leave alone.
  EXPECT_EQ(h.checksum, pe::ComputeChecksum(FileOf(GetParam())->bytes(), h.checksum_offset));
  EXPECT_NE(h.checksum, 0u);
}

TEST_P(LdkeysImage, CarriesNothingBeyondTablesExportsResourcesAndRelocations) {
  const pe::PeImage* image = Image();
  ASSERT_NE(image, nullptr);
  const pe::Headers& h = image->headers();

  // The ARM64X image keeps code, the x64 export thunks, read-only data with
  // the load configurations, and the ARM64X redirection map apart.
  std::vector<std::string> names;
  for (const auto& s : image->sections()) names.push_back(s.name);
  const std::vector<std::string> sections =
      expected().arm64x
          ? std::vector<std::string>{".text", ".hexpthk", ".rdata", ".a64xrm", ".rsrc", ".reloc"}
          : std::vector<std::string>{".text", ".rsrc", ".reloc"};
  EXPECT_EQ(names, sections);

  std::vector<unsigned> absent = {pe::kDirImport,     pe::kDirException, pe::kDirSecurity,
                                  pe::kDirDebug,      pe::kDirTls,       pe::kDirIat,
                                  pe::kDirDelayImport};
  if (!expected().arm64x) absent.push_back(pe::kDirLoadConfig);
  for (unsigned dir : absent) {
    EXPECT_EQ(h.directory(dir).rva, 0u) << "data directory " << dir;
    EXPECT_EQ(h.directory(dir).size, 0u) << "data directory " << dir;
  }
  auto imports = image->Imports();
  ASSERT_TRUE(imports) << imports.error();
  EXPECT_TRUE(imports->empty());

  EXPECT_EQ(h.pointer_to_symbol_table, 0u);
  EXPECT_EQ(h.number_of_symbols, 0u);
  // The tables alone are about 3 KB; headers and section padding bring the
  // image to about 5 to 6 KB, and the ARM64X one, with two sets of tables
  // and six sections, to about 16 KB.
  EXPECT_GE(image->bytes().size(), 4096u);
  EXPECT_LE(image->bytes().size(), expected().arm64x ? 16384u : 6144u);
}

// The one-section modules keep code, tables and exports in one read-only
// executable .text. The ARM64X image keeps its code (.text, and the x64
// thunks in .hexpthk) apart from its tables and exports in .rdata.
TEST_P(LdkeysImage, KeepsTablesAndExportsReadOnlyAndExecutesOnlyCode) {
  const pe::PeImage* image = Image();
  const kbd::Layout* layout = Layout();
  ASSERT_TRUE(image && layout);
  const bool arm64x = expected().arm64x;
  const pe::Section* tables = FindSection(*image, arm64x ? ".rdata" : ".text");
  ASSERT_NE(tables, nullptr);
  const std::set<std::string> code =
      arm64x ? std::set<std::string>{".text", ".hexpthk"} : std::set<std::string>{".text"};
  for (const auto& s : image->sections()) {
    EXPECT_TRUE(s.characteristics & pe::kSectionRead) << s.name;
    EXPECT_FALSE(s.characteristics & pe::kSectionWrite) << s.name;
    EXPECT_EQ(bool(s.characteristics & pe::kSectionExecute), code.count(s.name) == 1) << s.name;
  }

  EXPECT_EQ(image->SectionOfRva(image->headers().directory(pe::kDirExport).rva), tables);
  const pe::Section* accessor = image->SectionOfRva(layout->accessor_rva);
  ASSERT_NE(accessor, nullptr);
  EXPECT_EQ(code.count(accessor->name), 1u) << accessor->name;
  EXPECT_EQ(image->SectionOfRva(layout->descriptor_rva), tables);
  // Every pointer in the tables leads into the same section.
  for (uint32_t site : layout->pointer_sites) {
    auto target = image->VaToRva(image->headers().pe32_plus() ? image->U64(site, "pointer")
                                                              : image->U32(site, "pointer"));
    ASSERT_TRUE(target) << "pointer at RVA " << site;
    EXPECT_EQ(image->SectionOfRva(*target), tables) << "pointer at RVA " << site;
  }
}

TEST_P(LdkeysImage, ExportsOnlyTheAccessorWhichLoadsTheDescriptorAddressAndReturns) {
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

  auto target = kbd::DecodeAccessor(*image, e.rva);
  ASSERT_TRUE(target) << target.error();
  EXPECT_EQ(target->descriptor_va, image->headers().image_base + layout->descriptor_rva);
  switch (GetParam()) {
    case Module::kI386:  // mov eax, imm32 / ret: nothing but the descriptor's address
    {
      auto code = image->Bytes(e.rva, 6, "accessor");
      EXPECT_EQ(code[0], 0xB8);
      EXPECT_EQ(code[5], 0xC3);
    } break;
    case Module::kWow64:  // the same, with EDX, the high half of the 64-bit result, cleared
      EXPECT_TRUE(target->clears_high_half);
      {
        auto code = image->Bytes(e.rva, 8, "accessor");
        EXPECT_EQ(code[0], 0xB8);
        EXPECT_EQ(std::vector<uint8_t>(code.begin() + 5, code.end()),
                  (std::vector<uint8_t>{0x31, 0xD2, 0xC3}));
      }
      break;
    case Module::kAmd64:
    case Module::kArm64:  // addressed relative to the code: nothing to relocate
      EXPECT_FALSE(target->operand_rva);
      EXPECT_FALSE(target->arm64ec_function);
      break;
    case Module::kArm64ec:  // the linker's x64 thunk, into the ARM64EC accessor
      EXPECT_FALSE(target->operand_rva);
      EXPECT_TRUE(target->arm64ec_function);
      break;
  }
}

TEST_P(LdkeysImage, RelocatesEveryAbsoluteAddressAndNothingElse) {
  const pe::PeImage* image = Image();
  const kbd::Layout* layout = Layout();
  ASSERT_TRUE(image && layout);
  auto relocations = image->Relocations();
  ASSERT_TRUE(relocations) << relocations.error();

  std::set<uint32_t> relocated;
  for (const auto& r : *relocations) {
    if (r.type == pe::kRelAbsolute) continue;  // block padding
    EXPECT_EQ(r.type, expected().relocation) << "at RVA " << r.rva;
    relocated.insert(r.rva);
  }
  std::set<uint32_t> pointers(layout->pointer_sites.begin(), layout->pointer_sites.end());
  EXPECT_EQ(pointers.size(), expected().pointers);
  if (expected().arm64x) {
    // Both views share the one relocation table: it also covers the other
    // view's tables, and the CHPE pointer of each view's load configuration.
    for (Module view : {Module::kArm64, Module::kArm64ec}) {
      const kbd::Layout* other = ldkeys_test::Layout(view);
      ASSERT_NE(other, nullptr);
      pointers.insert(other->pointer_sites.begin(), other->pointer_sites.end());
      pointers.insert(ldkeys_test::Image(view)->headers().directory(pe::kDirLoadConfig).rva + 0xC8);
    }
    EXPECT_EQ(pointers.size(), 2 * expected().pointers + 2);
  }
  EXPECT_EQ(relocated, pointers);
}

INSTANTIATE_TEST_SUITE_P(EveryModule, LdkeysImage,
                         ::testing::Values(Module::kI386, Module::kWow64, Module::kAmd64,
                                           Module::kArm64, Module::kArm64ec),
                         [](const auto& info) { return ldkeys_test::ModuleName(info.param); });

}  // namespace
