// Typing through the built layout: key strokes go through the scan-code map,
// the modifier record and the character map as the keyboard subsystem
// takes them.
#include <gtest/gtest.h>

#include <string>

#include "kbdinspect/translate.h"
#include "ldkeys_file.h"

namespace {

// The code points typed by a stroke sequence, or a failure naming it.
std::u32string Type(const char* strokes) {
  const kbd::Layout* layout = ldkeys_test::Layout();
  if (!layout) return U"<no layout>";
  auto typed = kbd::TypeText(*layout, strokes);
  if (!typed) {
    ADD_FAILURE() << strokes << ": " << typed.error();
    return U"<error>";
  }
  return *typed;
}

TEST(LdkeysTyping, MarksFollowTheirLetter) {
  EXPECT_EQ(Type("quote"), U"\u0301");
  EXPECT_EQ(Type("a quote"), U"a\u0301");
  EXPECT_EQ(Type("shift+e grave o shift+6 u equals shift+9 q"),
            U"E\u0300o\u0302u\u0304\u0306\u0358");
  EXPECT_EQ(Type("shift+quote altgr+quote shift+altgr+quote"), U"\"'\"");
}

TEST(LdkeysTyping, CapsLockActsAsShiftOnlyOnBaseAndShiftColumns) {
  EXPECT_EQ(Type("capslock q shift+q"), U"\u00B7\u0358");
  EXPECT_EQ(Type("capslock x shift+x"), U"\u207F\u207F");
  EXPECT_EQ(Type("capslock z w"), U"\u1E72\u00D6");
  EXPECT_EQ(Type("capslock altgr+a shift+altgr+a"), U"\u00E5\u00C5");
  EXPECT_EQ(Type("capslock altgr+q"), U"q");
  // Keys without CAPLOK keep their Base column.
  EXPECT_EQ(Type("capslock quote 1"), U"\u03011");
}

TEST(LdkeysTyping, ModifierCombinationsPickTheirColumns) {
  EXPECT_EQ(Type("ctrl+lbracket shift+ctrl+lbracket"), U"\u001B\u001B");
  EXPECT_EQ(Type("ctrl+enter ctrl+backspace"), U"\u000A\u007F");
  // Ctrl cells of the mark keys and letters are empty.
  EXPECT_EQ(Type("ctrl+quote ctrl+grave ctrl+equals ctrl+6 ctrl+9 ctrl+comma ctrl+period ctrl+a"),
            U"");
  // Alt alone and Shift+Alt have no column at all.
  EXPECT_EQ(Type("alt+a shift+alt+a alt+quote alt+1"), U"");
  // Right Alt is AltGr, and so is Ctrl+Alt.
  EXPECT_EQ(Type("altgr+d ctrl+alt+d shift+altgr+d"), U"\u0111\u0111\u0110");
  // Tables without AltGr columns give nothing under AltGr.
  EXPECT_EQ(Type("altgr+1 altgr+e altgr+space numlock altgr+num7"), U"");
  EXPECT_EQ(Type("numlock num7 shift+altgr+lbracket altgr+rbracket"), U"7\u2019\u2018");
}

TEST(LdkeysTyping, VerticalLineComesOnlyFromShiftAltGrOnTheBackslashKeys) {
  EXPECT_EQ(Type("shift+backslash shift+oem102"), U"\u030D\u030D");
  EXPECT_EQ(Type("shift+altgr+backslash shift+altgr+oem102 altgr+backslash"), U"||\\");

  const kbd::Layout* layout = ldkeys_test::Layout();
  ASSERT_NE(layout, nullptr);
  for (int vk = 1; vk < 255; ++vk)
    for (uint16_t mask = 0; mask < 8; ++mask)
      for (bool caps : {false, true}) {
        const kbd::Translation t = kbd::TranslateVk(*layout, uint8_t(vk), mask, caps);
        const bool bar = t.outcome == kbd::Outcome::kCharacter && t.units == u"|";
        const bool expected = (vk == 0xDC || vk == 0xE2) && mask == 7;
        EXPECT_EQ(bar, expected) << "VK 0x" << std::hex << vk << " mask " << mask << " caps "
                                 << caps;
      }
}

}  // namespace
