// Every entry of the layout's tables, read back from the built image and
// compared with the layout written out here by hand. Virtual keys are given
// by their numeric platform values, so a wrong VK_ constant shows up too.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <iomanip>
#include <ostream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "ldkeys_file.h"

// Readable failure messages for the table entries.
namespace kbd {
void PrintTo(const CharRow& row, std::ostream* os) {
  *os << "{vk 0x" << std::hex << int(row.vk) << ", attr " << int(row.attributes) << ",";
  for (uint16_t cell : row.cells) *os << " " << std::setw(4) << std::setfill('0') << cell;
  *os << "}" << std::dec;
}
void PrintTo(const ScanVk& entry, std::ostream* os) {
  *os << std::hex << "{0x" << int(entry.scan) << ", 0x" << entry.vk << "}" << std::dec;
}
void PrintTo(const KeyName& name, std::ostream* os) {
  *os << std::hex << "{0x" << int(name.scan) << std::dec << ", \"";
  for (char32_t c : name.name) *os << (c < 0x80 ? char(c) : '?');
  *os << "\"}";
}
}  // namespace kbd

namespace {

using ldkeys_test::Image;
using ldkeys_test::Layout;

constexpr uint16_t EXT = 0x100, MULTIVK = 0x200, SPECIAL = 0x400, NUMPAD = 0x800;
constexpr uint16_t PAD = SPECIAL | NUMPAD;
constexpr uint16_t N = 0xF000;  // no character
constexpr uint8_t CAPS = 1;

TEST(LdkeysTables, DescriptorAndModifierRecord) {
  const kbd::Layout* layout = Layout();
  ASSERT_NE(layout, nullptr);
  const kbd::Descriptor& d = layout->descriptor;
  EXPECT_NE(d.pCharModifiers, 0u);
  EXPECT_NE(d.pVkToWcharTable, 0u);
  EXPECT_EQ(d.pDeadKey, 0u);
  EXPECT_NE(d.pKeyNames, 0u);
  EXPECT_NE(d.pKeyNamesExt, 0u);
  EXPECT_EQ(d.pKeyNamesDead, 0u);
  EXPECT_NE(d.pusVSCtoVK, 0u);
  EXPECT_EQ(d.bMaxVSCtoVK, 127);
  EXPECT_NE(d.pVSCtoVK_E0, 0u);
  EXPECT_NE(d.pVSCtoVK_E1, 0u);
  EXPECT_EQ(d.fLocaleFlags, 0x00010001u);
  EXPECT_EQ(d.nLgMax, 0);
  EXPECT_EQ(d.cbLgEntry, 0);
  EXPECT_EQ(d.pLigature, 0u);
  EXPECT_EQ(d.dwType, 0u);
  EXPECT_EQ(d.dwSubType, 0u);

  const kbd::Modifiers& m = layout->modifiers;
  EXPECT_EQ(m.vk_to_bit, (std::vector<kbd::VkToBit>{{0x10, 1}, {0x11, 2}, {0x12, 4}}));
  EXPECT_EQ(m.max_mod_bits, 7);
  EXPECT_EQ(m.mod_number, (std::vector<uint8_t>{0, 1, 2, 2, 15, 15, 3, 4}));
}

TEST(LdkeysTables, ScanCodeMaps) {
  const kbd::Layout* layout = Layout();
  ASSERT_NE(layout, nullptr);

  std::array<uint16_t, 127> main;
  main.fill(0xFF);
  auto put = [&](int at, std::initializer_list<int> vks) {
    for (int vk : vks) main[size_t(at++)] = uint16_t(vk);
  };
  put(0x01, {0x1B, '1', '2', '3', '4', '5', '6', '7', '8', '9', '0', 0xBD, 0xBB, 0x08, 0x09});
  put(0x10, {'Q', 'W', 'E', 'R', 'T', 'Y', 'U', 'I', 'O', 'P', 0xDB, 0xDD, 0x0D, 0xA2});
  put(0x1E, {'A', 'S', 'D', 'F', 'G', 'H', 'J', 'K', 'L', 0xBA, 0xDE, 0xC0, 0xA0, 0xDC});
  put(0x2C, {'Z', 'X', 'C', 'V', 'B', 'N', 'M', 0xBC, 0xBE, 0xBF, 0xA1 | EXT, 0x6A | MULTIVK, 0xA4,
             0x20, 0x14});
  for (int i = 0; i < 10; ++i) main[size_t(0x3B + i)] = uint16_t(0x70 + i);  // F1-F10
  put(0x45,
      {0x90 | EXT | MULTIVK, 0x91 | MULTIVK, 0x24 | PAD, 0x26 | PAD, 0x21 | PAD, 0x6D, 0x25 | PAD,
       0x0C | PAD, 0x27 | PAD, 0x6B, 0x23 | PAD, 0x28 | PAD, 0x22 | PAD, 0x2D | PAD, 0x2E | PAD});
  put(0x54, {0x2C, 0xFF, 0xE2, 0x7A, 0x7B, 0x0C, 0xEE, 0xF1, 0xEA, 0xF9, 0xF5, 0xF3, 0xFF, 0xFF,
             0xFB, 0x2F});
  for (int i = 0; i < 11; ++i) main[size_t(0x64 + i)] = uint16_t(0x7C + i);  // F13-F23
  put(0x6F, {0xED, 0xFF, 0xE9, 0xFF, 0xC1, 0xFF, 0xFF, 0x87});
  put(0x7B, {0xEB, 0x09, 0xFF, 0xC2});
  EXPECT_EQ(layout->scan_to_vk, std::vector<uint16_t>(main.begin(), main.end()));

  std::vector<kbd::ScanVk> e0;
  for (auto [scan, vk] : std::initializer_list<std::pair<int, int>>{
           {0x10, 0xB1}, {0x19, 0xB0}, {0x1D, 0xA3}, {0x20, 0xAD}, {0x21, 0xB7}, {0x22, 0xB3},
           {0x24, 0xB2}, {0x2E, 0xAE}, {0x30, 0xAF}, {0x32, 0xAC}, {0x35, 0x6F}, {0x37, 0x2C},
           {0x38, 0xA5}, {0x47, 0x24}, {0x48, 0x26}, {0x49, 0x21}, {0x4B, 0x25}, {0x4D, 0x27},
           {0x4F, 0x23}, {0x50, 0x28}, {0x51, 0x22}, {0x52, 0x2D}, {0x53, 0x2E}, {0x5B, 0x5B},
           {0x5C, 0x5C}, {0x5D, 0x5D}, {0x5F, 0x5F}, {0x65, 0xAA}, {0x66, 0xAB}, {0x67, 0xA8},
           {0x68, 0xA9}, {0x69, 0xA7}, {0x6A, 0xA6}, {0x6B, 0xB6}, {0x6C, 0xB4}, {0x6D, 0xB5},
           {0x1C, 0x0D}, {0x46, 0x03}})
    e0.push_back({uint8_t(scan), uint16_t(vk | EXT)});
  EXPECT_EQ(layout->e0, e0);
  EXPECT_EQ(layout->e1, (std::vector<kbd::ScanVk>{{0x1D, 0x13}}));
}

// Builds a key-name list from (scan code, ASCII name) pairs.
class NameList {
 public:
  NameList& Add(int scan, const std::string& name) {
    names_.push_back({uint8_t(scan), std::u32string(name.begin(), name.end())});
    return *this;
  }
  NameList& Add(std::initializer_list<std::pair<int, const char*>> list) {
    for (auto [scan, name] : list) Add(scan, name);
    return *this;
  }
  NameList& FunctionKeys(int first_scan, int first, int last) {
    for (int f = first; f <= last; ++f) Add(first_scan + f - first, "F" + std::to_string(f));
    return *this;
  }
  const std::vector<kbd::KeyName>& names() const { return names_; }

 private:
  std::vector<kbd::KeyName> names_;
};

TEST(LdkeysTables, KeyNames) {
  const kbd::Layout* layout = Layout();
  ASSERT_NE(layout, nullptr);
  NameList names;
  names
      .Add({{0x01, "Esc"},
            {0x0E, "Backspace"},
            {0x0F, "Tab"},
            {0x1C, "Enter"},
            {0x1D, "Ctrl"},
            {0x2A, "Shift"},
            {0x36, "Right Shift"},
            {0x37, "Num *"},
            {0x38, "Alt"},
            {0x39, "Space"},
            {0x3A, "Caps Lock"}})
      .FunctionKeys(0x3B, 1, 10)
      .Add({{0x45, "Pause"},
            {0x46, "Scroll Lock"},
            {0x47, "Num 7"},
            {0x48, "Num 8"},
            {0x49, "Num 9"},
            {0x4A, "Num -"},
            {0x4B, "Num 4"},
            {0x4C, "Num 5"},
            {0x4D, "Num 6"},
            {0x4E, "Num +"},
            {0x4F, "Num 1"},
            {0x50, "Num 2"},
            {0x51, "Num 3"},
            {0x52, "Num 0"},
            {0x53, "Num Del"},
            {0x54, "Sys Req"},
            {0x57, "F11"},
            {0x58, "F12"}})
      .FunctionKeys(0x7C, 13, 24);
  EXPECT_EQ(layout->key_names, names.names());

  NameList ext;
  ext.Add({{0x1C, "Num Enter"},  {0x1D, "Right Ctrl"},   {0x35, "Num /"},
           {0x37, "Prnt Scrn"},  {0x38, "Right Alt"},    {0x45, "Num Lock"},
           {0x46, "Break"},      {0x47, "Home"},         {0x48, "Up"},
           {0x49, "Page Up"},    {0x4B, "Left"},         {0x4D, "Right"},
           {0x4F, "End"},        {0x50, "Down"},         {0x51, "Page Down"},
           {0x52, "Insert"},     {0x53, "Delete"},       {0x54, "<00>"},
           {0x56, "Help"},       {0x5B, "Left Windows"}, {0x5C, "Right Windows"},
           {0x5D, "Application"}});
  EXPECT_EQ(layout->key_names_ext, ext.names());
}

void ExpectTable(const kbd::Layout& layout, size_t index, uint8_t columns, uint8_t row_size,
                 const std::vector<kbd::CharRow>& rows) {
  SCOPED_TRACE("character table " + std::to_string(index + 1));
  ASSERT_LT(index, layout.tables.size());
  const kbd::CharTable& table = layout.tables[index];
  EXPECT_EQ(table.columns, columns);
  EXPECT_EQ(table.row_size, row_size);
  ASSERT_EQ(table.rows.size(), rows.size());
  for (size_t i = 0; i < rows.size(); ++i)
    EXPECT_EQ(table.rows[i], rows[i])
        << "row " << i << " (expected VK 0x" << std::hex << int(rows[i].vk) << ")";
}

TEST(LdkeysTables, CharacterMap) {
  const kbd::Layout* layout = Layout();
  ASSERT_NE(layout, nullptr);
  ASSERT_EQ(layout->tables.size(), 4u);

  ExpectTable(*layout, 0, 3, 8,
              {{0x08, 0, {0x08, 0x08, 0x7F}},
               {0x1B, 0, {0x1B, 0x1B, 0x1B}},
               {0x0D, 0, {0x0D, 0x0D, 0x0A}},
               {0x20, 0, {0x20, 0x20, 0x20}},
               {0x03, 0, {0x03, 0x03, 0x03}}});

  ExpectTable(*layout, 1, 5, 12,
              {{0xDE, 0, {0x0301, 0x0022, N, 0x0027, 0x0022}},
               {0xC0, 0, {0x0300, 0x007E, N, 0x0060, 0x007E}},
               {'6', 0, {0x0036, 0x0302, N, 0x005E, 0x005E}},
               {0xBB, 0, {0x0304, 0x002B, N, 0x003D, 0x002B}},
               {0xDC, 0, {0x005C, 0x030D, 0x001C, 0x005C, 0x007C}},
               {0xE2, 0, {0x005C, 0x030D, 0x001C, 0x005C, 0x007C}},
               {'9', 0, {0x0039, 0x0306, N, 0x0028, 0x0028}},
               {0xDB, 0, {0x005B, 0x007B, 0x001B, 0x2019, 0x2019}},
               {0xDD, 0, {0x005D, 0x007D, 0x001D, 0x2018, 0x2018}},
               {'Q', CAPS, {0x0358, 0x00B7, N, 'q', 'Q'}},
               {'Z', CAPS, {0x1E73, 0x1E72, N, 'z', 'Z'}},
               {'W', CAPS, {0x00F6, 0x00D6, N, 'w', 'W'}},
               {'N', CAPS, {'n', 'N', N, 0x207F, 0x207F}},
               {'X', CAPS, {0x207F, 0x207F, N, 'x', 'X'}},
               {'A', CAPS, {'a', 'A', N, 0x00E5, 0x00C5}},
               {'D', CAPS, {'d', 'D', N, 0x0111, 0x0110}},
               {'I', CAPS, {'i', 'I', N, 0x00EF, 0x00CF}},
               {'U', CAPS, {'u', 'U', N, 0x016F, 0x016E}},
               {'C', CAPS, {'c', 'C', N, 0x00A9, 0x00A9}},
               {'R', CAPS, {'r', 'R', N, 0x00AE, 0x00AE}},
               {0xBC, 0, {',', '<', N, 0x201C, 0x201C}},
               {0xBE, 0, {'.', '>', N, 0x201D, 0x201D}}});

  std::vector<kbd::CharRow> plain;
  for (auto [vk, shifted] : {std::pair{'1', '!'},
                             {'2', '@'},
                             {'3', '#'},
                             {'4', '$'},
                             {'5', '%'},
                             {'7', '&'},
                             {'8', '*'},
                             {'0', ')'}})
    plain.push_back({uint8_t(vk), 0, {uint16_t(vk), uint16_t(shifted)}});
  for (char letter : std::string("ETYOPSFGHJKL"))
    plain.push_back({uint8_t(letter), CAPS, {uint16_t(letter + 32), uint16_t(letter)}});
  plain.push_back({0xBA, 0, {';', ':'}});
  for (char letter : std::string("VBM"))
    plain.push_back({uint8_t(letter), CAPS, {uint16_t(letter + 32), uint16_t(letter)}});
  for (auto [vk, base, shifted] : {std::tuple{0xBD, '-', '_'},
                                   {0xBF, '/', '?'},
                                   {0x6E, '.', '.'},
                                   {0x09, 0x09, 0x09},
                                   {0x6B, '+', '+'},
                                   {0x6F, '/', '/'},
                                   {0x6A, '*', '*'},
                                   {0x6D, '-', '-'}})
    plain.push_back({uint8_t(vk), 0, {uint16_t(base), uint16_t(shifted)}});
  ExpectTable(*layout, 2, 2, 6, plain);

  std::vector<kbd::CharRow> keypad;
  for (int digit = 0; digit <= 9; ++digit)
    keypad.push_back({uint8_t(0x60 + digit), 0, {uint16_t('0' + digit)}});
  ExpectTable(*layout, 3, 1, 4, keypad);
}

// The lists end in all-zero entries, as the subsystem expects.
TEST(LdkeysTables, ListTerminatorsAreZero) {
  const pe::PeImage* image = Image();
  const kbd::Layout* layout = Layout();
  ASSERT_TRUE(image && layout);
  const kbd::Descriptor& d = layout->descriptor;
  auto zero = [&](uint32_t va, uint32_t offset, uint32_t size, const char* what) {
    auto rva = image->VaToRva(va);
    ASSERT_TRUE(rva) << what;
    const auto bytes = image->Bytes(*rva + offset, size, what);
    EXPECT_EQ(bytes, std::vector<uint8_t>(size, 0)) << what;
  };
  zero(image->U32(*image->VaToRva(d.pCharModifiers), "pVkToBit"), 3 * 2, 2, "modifier key list");
  zero(d.pVkToWcharTable, 4 * 8, 8, "character table list");
  zero(d.pKeyNames, 51 * 8, 8, "key names");
  zero(d.pKeyNamesExt, 22 * 8, 8, "extended key names");
  zero(d.pVSCtoVK_E0, 38 * 4, 4, "E0 map");
  zero(d.pVSCtoVK_E1, 1 * 4, 4, "E1 map");
  const uint32_t list = *image->VaToRva(d.pVkToWcharTable);
  for (uint32_t t = 0; t < 4; ++t) {
    const uint8_t row_size = image->U8(list + t * 8 + 5, "cbSize");
    zero(image->U32(list + t * 8, "pVkToWchars"),
         uint32_t(layout->tables[t].rows.size()) * row_size, row_size, "terminating character row");
  }
}

}  // namespace
