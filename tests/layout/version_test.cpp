// The version resource of ldkeys.dll, parsed from its VS_VERSIONINFO tree.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "ldkeys_file.h"

namespace {

// One node of a VS_VERSIONINFO tree: wLength, wValueLength, wType, a
// NUL-terminated UTF-16 key, then the value and the children, each started
// on a 4-byte boundary.
struct VersionNode {
  std::u16string key;
  uint16_t type = 0;  // 1 for text, 0 for binary
  std::vector<uint8_t> value;
  std::vector<VersionNode> children;
};

uint16_t Word(const std::vector<uint8_t>& b, size_t at) {
  return uint16_t(b.at(at) | b.at(at + 1) << 8);
}
uint32_t Dword(const std::vector<uint8_t>& b, size_t at) {
  return Word(b, at) | uint32_t(Word(b, at + 2)) << 16;
}
size_t Align4(size_t n) { return (n + 3) & ~size_t(3); }

// Parses the node at `at`, which must end within `end`; throws on overrun.
VersionNode ParseNode(const std::vector<uint8_t>& b, size_t at, size_t end) {
  const size_t length = Word(b, at);
  if (length < 6 || at + length > end) throw std::out_of_range("node length");
  const uint16_t value_length = Word(b, at + 2);
  VersionNode node;
  node.type = Word(b, at + 4);
  size_t p = at + 6;
  for (uint16_t c; (c = Word(b, p)) != 0; p += 2) node.key += char16_t(c);
  p = Align4(p + 2);
  // Text values count UTF-16 units, binary values bytes.
  const size_t value_bytes = node.type == 1 ? value_length * 2u : value_length;
  if (p + value_bytes > at + length) throw std::out_of_range("value length");
  node.value.assign(b.begin() + long(p), b.begin() + long(p + value_bytes));
  for (p = Align4(p + value_bytes); p < at + length; p = Align4(p + Word(b, p)))
    node.children.push_back(ParseNode(b, p, at + length));
  return node;
}

std::u16string Text(const std::vector<uint8_t>& value) {
  std::u16string s;
  for (size_t i = 0; i + 1 < value.size(); i += 2) s += char16_t(Word(value, i));
  return s;
}

TEST(LdkeysVersion, IsOneUsEnglishVersionResourceWithTheGivenFixedPart) {
  const pe::PeImage* image = ldkeys_test::Image();
  ASSERT_NE(image, nullptr);
  auto resources = image->Resources();
  ASSERT_TRUE(resources) << resources.error();
  ASSERT_EQ(resources->size(), 1u);
  const pe::Resource& r = resources->front();
  EXPECT_FALSE(r.type.named);
  EXPECT_EQ(r.type.id, 16);  // RT_VERSION
  EXPECT_FALSE(r.name.named);
  EXPECT_EQ(r.name.id, 1);
  EXPECT_EQ(r.language, 0x0409);

  const VersionNode root = ParseNode(r.data, 0, r.data.size());
  EXPECT_EQ(root.key, u"VS_VERSION_INFO");
  ASSERT_EQ(root.value.size(), 52u);  // VS_FIXEDFILEINFO
  const std::vector<uint32_t> expected = {
      0xFEEF04BD,              // signature
      0x00010000,              // structure version
      0x00050001, 0x0A280000,  // file version 5.1.2600.0
      0x00050001, 0x0A280000,  // product version 5.1.2600.0
      0x3F,                    // flags mask
      0x8,                     // flags
      0x00040004,              // VOS_NT_WINDOWS32
      2,                       // VFT_DLL
      2,                       // VFT2_DRV_KEYBOARD
      0,          0,           // file date
  };
  for (size_t i = 0; i < expected.size(); ++i)
    EXPECT_EQ(Dword(root.value, i * 4), expected[i]) << "VS_FIXEDFILEINFO field " << i;
}

TEST(LdkeysVersion, HasTheEightStringsInTheNeutralUnicodeBlockAndItsTranslation) {
  const pe::PeImage* image = ldkeys_test::Image();
  ASSERT_NE(image, nullptr);
  auto resources = image->Resources();
  ASSERT_TRUE(resources && !resources->empty());
  const std::vector<uint8_t>& data = resources->front().data;
  const VersionNode root = ParseNode(data, 0, data.size());
  ASSERT_EQ(root.children.size(), 2u);

  const VersionNode& string_info = root.children[0];
  EXPECT_EQ(string_info.key, u"StringFileInfo");
  ASSERT_EQ(string_info.children.size(), 1u);
  const VersionNode& table = string_info.children[0];
  EXPECT_EQ(table.key, u"000004B0");
  std::map<std::u16string, std::u16string> strings;
  for (const auto& s : table.children) {
    EXPECT_EQ(s.type, 1) << "string " << std::string(s.key.begin(), s.key.end());
    std::u16string text = Text(s.value);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), u'\0');  // values are stored with their terminator
    text.pop_back();
    strings[s.key] = text;
  }
  const std::map<std::u16string, std::u16string> expected = {
      {u"CompanyName", u"Krelmo Lindorian Workshop"},
      {u"FileDescription", u"Lindorian Unicode Keyboard Layout"},
      {u"FileVersion", u"2.01 built by: WinDDK"},
      {u"InternalName", u"ldkeys (2.0)"},
      {u"LegalCopyright", u"Copyright (C) Krelmo Lindorian Workshop"},
      {u"OriginalFilename", u"ldkeys.dll"},
      {u"ProductName", u"Lindorian Unicode Keyboard"},
      {u"ProductVersion", u"2.0"},
  };
  EXPECT_TRUE(strings == expected);
  EXPECT_EQ(table.children.size(), 8u);

  const VersionNode& var_info = root.children[1];
  EXPECT_EQ(var_info.key, u"VarFileInfo");
  ASSERT_EQ(var_info.children.size(), 1u);
  EXPECT_EQ(var_info.children[0].key, u"Translation");
  EXPECT_EQ(var_info.children[0].value, (std::vector<uint8_t>{0x00, 0x00, 0xB0, 0x04}));
}

}  // namespace
