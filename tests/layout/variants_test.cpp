// The WOW64, amd64 and arm64 modules (both views of the ARM64X image) come
// from the tables of the i386 one: every key types the same in every shift
// state, and the names, the version resource and the export are the same. A
// table changed for one build only fails here.
#include <gtest/gtest.h>

#include "kbdinspect/translate.h"
#include "ldkeys_file.h"

namespace {

using ldkeys_test::Module;

class LdkeysVariant : public ::testing::TestWithParam<Module> {};

TEST_P(LdkeysVariant, TypesWhatTheI386ModuleTypesForEveryKeyAndShiftState) {
  const kbd::Layout* i386 = ldkeys_test::Layout(Module::kI386);
  const kbd::Layout* variant = ldkeys_test::Layout(GetParam());
  ASSERT_TRUE(i386 && variant);
  EXPECT_EQ(variant->modifiers.vk_to_bit, i386->modifiers.vk_to_bit);
  EXPECT_EQ(variant->modifiers.mod_number, i386->modifiers.mod_number);
  EXPECT_EQ(variant->locale_flags(), i386->locale_flags());
  EXPECT_EQ(variant->scan_to_vk, i386->scan_to_vk);
  EXPECT_EQ(variant->e0, i386->e0);
  EXPECT_EQ(variant->e1, i386->e1);
  int differences = 0;
  for (int vk = 1; vk < 0xFF; ++vk)
    for (uint16_t mask = 0; mask <= i386->modifiers.max_mod_bits; ++mask)
      for (bool caps : {false, true}) {
        const kbd::Translation expected = kbd::TranslateVk(*i386, uint8_t(vk), mask, caps);
        const kbd::Translation typed = kbd::TranslateVk(*variant, uint8_t(vk), mask, caps);
        if (typed != expected && ++differences <= 10)
          ADD_FAILURE() << "VK 0x" << std::hex << vk << " mask " << mask << " caps " << caps;
      }
  EXPECT_EQ(differences, 0);
}

TEST_P(LdkeysVariant, CarriesTheSameNamesVersionAndExport) {
  const kbd::Layout* i386 = ldkeys_test::Layout(Module::kI386);
  const kbd::Layout* variant = ldkeys_test::Layout(GetParam());
  ASSERT_TRUE(i386 && variant);
  EXPECT_EQ(variant->key_names, i386->key_names);
  EXPECT_EQ(variant->key_names_ext, i386->key_names_ext);
  EXPECT_EQ(variant->key_names_dead, i386->key_names_dead);

  const pe::PeImage* i386_image = ldkeys_test::Image(Module::kI386);
  const pe::PeImage* image = ldkeys_test::Image(GetParam());
  auto expected_resources = i386_image->Resources();
  auto resources = image->Resources();
  ASSERT_TRUE(expected_resources && resources);
  ASSERT_EQ(resources->size(), expected_resources->size());
  for (size_t i = 0; i < resources->size(); ++i) {
    EXPECT_EQ((*resources)[i].type.ToString(), (*expected_resources)[i].type.ToString());
    EXPECT_EQ((*resources)[i].language, (*expected_resources)[i].language);
    EXPECT_EQ((*resources)[i].data, (*expected_resources)[i].data) << "resource " << i;
  }

  auto expected_exports = i386_image->Exports();
  auto exports = image->Exports();
  ASSERT_TRUE(expected_exports && exports);
  EXPECT_EQ(exports->dll_name, expected_exports->dll_name);
  ASSERT_EQ(exports->functions.size(), expected_exports->functions.size());
  for (size_t i = 0; i < exports->functions.size(); ++i) {
    EXPECT_EQ(exports->functions[i].name, expected_exports->functions[i].name);
    EXPECT_EQ(exports->functions[i].ordinal, expected_exports->functions[i].ordinal);
  }
}

INSTANTIATE_TEST_SUITE_P(OtherModules, LdkeysVariant,
                         ::testing::Values(Module::kWow64, Module::kAmd64, Module::kArm64,
                                           Module::kArm64ec),
                         [](const auto& info) { return ldkeys_test::ModuleName(info.param); });

}  // namespace

namespace {

// The WOW64 module's 8-byte pointers hold a 32-bit address, zero-extended:
// the reader refuses one with anything in its high half.
TEST(LdkeysWow64, PointersWithAHighHalfAreRefused) {
  const pe::PeImage* image = ldkeys_test::Image(Module::kWow64);
  const kbd::Layout* layout = ldkeys_test::Layout(Module::kWow64);
  ASSERT_TRUE(image && layout);
  auto bytes = image->bytes();
  const uint32_t high_half = layout->descriptor_rva + KbdRecords64.KeyNames + 4;
  bytes.at(*image->RvaToOffset(high_half)) = 1;
  auto damaged = pe::PeImage::Parse(bytes);
  ASSERT_TRUE(damaged) << damaged.error();
  auto read = kbd::ReadLayout(*damaged);
  ASSERT_FALSE(read);
  EXPECT_NE(read.error().find("pKeyNames has a non-zero high half"), std::string::npos)
      << read.error();
}

}  // namespace
