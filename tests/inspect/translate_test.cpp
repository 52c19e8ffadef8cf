// The translation rules on the sample layout, built directly in memory.
#include <gtest/gtest.h>

#include "image_builder.h"
#include "kbdinspect/strokes.h"
#include "kbdinspect/translate.h"

namespace {

using namespace kbd;
using testimage::SampleLayout;

std::u32string Typed(const Layout& layout, std::string_view strokes) {
  auto text = TypeText(layout, strokes);
  EXPECT_TRUE(text.has_value()) << text.error();
  return text.has_value() ? *text : U"<error>";
}

// The character a key gives, or 0 for none.
char16_t Char(const Layout& layout, uint8_t vk, uint16_t mask, bool caps = false) {
  const Translation t = TranslateVk(layout, vk, mask, caps);
  return t.outcome == Outcome::kCharacter ? t.units.at(0) : 0;
}

TEST(Translate, MapsScanCodesThroughTheThreeMaps) {
  const Layout l = SampleLayout();
  EXPECT_EQ(ScanCodeToVk(l, {Prefix::kNone, 0x10}), 'Q');
  EXPECT_EQ(ScanCodeToVk(l, {Prefix::kNone, 0x36}), VK_RSHIFT);  // flags masked off
  EXPECT_EQ(ScanCodeEntry(l, {Prefix::kNone, 0x36}), VK_RSHIFT | KBDEXT);
  EXPECT_EQ(ScanCodeToVk(l, {Prefix::kNone, 0x3F}), 0x6F);  // the last entry
  EXPECT_FALSE(ScanCodeToVk(l, {Prefix::kNone, 0x00}));     // 0xFF: no key
  EXPECT_FALSE(ScanCodeToVk(l, {Prefix::kNone, 0x40}));     // at bMaxVSCtoVK: no entry
  EXPECT_FALSE(ScanCodeToVk(l, {Prefix::kNone, 0xFF}));
  EXPECT_EQ(ScanCodeToVk(l, {Prefix::kE0, 0x1C}), 0x0D);  // the unsorted list is searched
  EXPECT_EQ(ScanCodeToVk(l, {Prefix::kE0, 0x38}), VK_RMENU);
  EXPECT_FALSE(ScanCodeToVk(l, {Prefix::kE0, 0x10}));
  EXPECT_EQ(ScanCodeToVk(l, {Prefix::kE1, 0x1D}), 0x13);
  EXPECT_FALSE(ScanCodeToVk(l, {Prefix::kE1, 0x38}));
}

TEST(Translate, BuildsTheModifierMask) {
  Layout l = SampleLayout();
  EXPECT_EQ(ModifierMask(l, {}), 0);
  EXPECT_EQ(ModifierMask(l, {VK_LSHIFT}), KBDSHIFT);
  EXPECT_EQ(ModifierMask(l, {VK_RSHIFT}), KBDSHIFT);
  EXPECT_EQ(ModifierMask(l, {VK_SHIFT}), KBDSHIFT);
  EXPECT_EQ(ModifierMask(l, {VK_RSHIFT, VK_LCONTROL}), KBDSHIFT | KBDCTRL);
  EXPECT_EQ(ModifierMask(l, {VK_LMENU}), KBDALT);
  EXPECT_EQ(ModifierMask(l, {VK_RMENU}), KBDCTRL | KBDALT);  // KLLF_ALTGR
  EXPECT_EQ(ModifierMask(l, {'Q'}), 0);
  l.descriptor.fLocaleFlags &= ~KLLF_ALTGR;
  EXPECT_EQ(ModifierMask(l, {VK_RMENU}), KBDALT);
  // A pair naming the left key only does not react to the right one.
  l.modifiers.vk_to_bit = {{VK_LSHIFT, KBDSHIFT}};
  EXPECT_EQ(ModifierMask(l, {VK_RSHIFT}), 0);
  EXPECT_EQ(ModifierMask(l, {VK_LSHIFT}), KBDSHIFT);
}

TEST(Translate, ChoosesTheColumnThroughModNumber) {
  const Layout l = SampleLayout();
  EXPECT_EQ(Char(l, 'Q', 0), 0x0358);
  EXPECT_EQ(Char(l, 'Q', KBDSHIFT), 0x00B7);
  EXPECT_EQ(Char(l, 'Q', KBDCTRL | KBDALT), u'q');
  EXPECT_EQ(Char(l, 'Q', KBDSHIFT | KBDCTRL | KBDALT), u'Q');
  EXPECT_EQ(Char(l, 0x08, KBDSHIFT | KBDCTRL), 0x7F);  // Shift+Ctrl shares the Ctrl column
  // Alt and Shift+Alt are SHFT_INVALID; masks past wMaxModBits have no column.
  for (uint16_t mask : {KBDALT, uint16_t(KBDSHIFT | KBDALT), uint16_t(8), uint16_t(0x100)}) {
    const Translation t = TranslateVk(l, 'Q', mask, false);
    EXPECT_EQ(t.outcome, Outcome::kNothing) << mask;
    EXPECT_FALSE(t.column) << mask;
  }
}

TEST(Translate, GivesNothingForMissingCells) {
  const Layout l = SampleLayout();
  // Ctrl is column 2, past the count of Enter's 2-column row.
  const Translation past = TranslateVk(l, 0x0D, KBDCTRL, false);
  EXPECT_EQ(past.outcome, Outcome::kNothing);
  EXPECT_EQ(past.column, 2);
  EXPECT_EQ(TranslateVk(l, 'A', KBDCTRL, false).outcome, Outcome::kNothing);  // WCH_NONE
  EXPECT_EQ(TranslateVk(l, 0x08, KBDCTRL | KBDALT, false).outcome, Outcome::kNothing);
  EXPECT_EQ(TranslateVk(l, 'W', 0, false).outcome, Outcome::kNothing);  // no row at all
  // The first table holding a key decides, later rows are never read.
  EXPECT_EQ(Char(l, 'A', 0), u'a');
}

TEST(Translate, CapsLockActsAsShiftOnCaplokRowsOnly) {
  const Layout l = SampleLayout();
  EXPECT_EQ(Char(l, 'Q', 0, true), 0x00B7);
  EXPECT_EQ(Char(l, 'Q', KBDSHIFT, true), 0x0358);          // Caps Lock + Shift gives Base
  EXPECT_EQ(Char(l, 'A', KBDCTRL | KBDALT, true), 0x00E5);  // AltGr columns untouched
  EXPECT_EQ(Char(l, 'A', KBDSHIFT | KBDCTRL | KBDALT, true), 0x00C5);
  EXPECT_EQ(Char(l, '1', 0, true), u'1');  // no CAPLOK
  EXPECT_EQ(Char(l, 0xDE, KBDSHIFT, true), u'"');
}

TEST(Translate, HonoursCaplokAltGrSgcapsAndDeadKeys) {
  Layout l = SampleLayout();
  CharTable& five = l.tables[1];
  five.rows[1].attributes = CAPLOK | CAPLOKALTGR;  // 'A'
  EXPECT_EQ(Char(l, 'A', KBDCTRL | KBDALT, true), 0x00C5);
  EXPECT_EQ(Char(l, 'A', KBDSHIFT | KBDCTRL | KBDALT, true), 0x00E5);

  // SGCAPS: with Caps Lock the next row holds the Base/Shift characters.
  CharTable& two = l.tables[0];
  two.rows[0].attributes = SGCAPS;
  two.rows.insert(two.rows.begin() + 1, CharRow{kNoKey, 0, {0x00E9, 0x00C9}});
  EXPECT_EQ(Char(l, '1', 0, true), 0x00E9);
  EXPECT_EQ(Char(l, '1', KBDSHIFT, true), 0x00C9);
  EXPECT_EQ(Char(l, '1', 0, false), u'1');

  // A dead key: WCH_DEAD, the dead character in the next row, compositions.
  five.rows[2].cells[0] = WCH_DEAD;  // the quote key
  five.rows.insert(five.rows.begin() + 3,
                   CharRow{kNoKey, 0, {0x00B4, WCH_NONE, WCH_NONE, WCH_NONE, WCH_NONE}});
  l.dead_keys = {{u'a', 0x00B4, 0x00E1, 0}};
  const Translation dead = TranslateVk(l, 0xDE, 0, false);
  EXPECT_EQ(dead.outcome, Outcome::kDead);
  EXPECT_EQ(dead.units, u"\u00B4");
  EXPECT_EQ(Typed(l, "quote a"), U"\u00E1");
  EXPECT_EQ(Typed(l, "quote 1"), U"\u00B41");  // no composition: both characters
  EXPECT_EQ(Typed(l, "quote quote"), U"\u00B4\u00B4");
}

TEST(Translate, TypesStrokeSequences) {
  const Layout l = SampleLayout();
  EXPECT_EQ(Typed(l, "1 shift+1 a quote"), U"1!a\u0301");
  EXPECT_EQ(Typed(l, "capslock q shift+q capslock q"), U"\u00B7\u0358\u0358");
  EXPECT_EQ(Typed(l, "altgr+a ctrl+alt+a rctrl+lalt+a"), U"\u00E5\u00E5\u00E5");
  EXPECT_EQ(Typed(l, "alt+a shift+alt+a ctrl+enter"), U"");
  EXPECT_EQ(Typed(l, "rshift+a ctrl+backspace numenter e0:35 e1:1d"), U"A\u007F\r/");
  EXPECT_EQ(Typed(l, "sc:40 vk:41 0x1e"), U"aa");
  // Num Lock turns the keypad's navigation key into a digit, unless Shift.
  EXPECT_EQ(Typed(l, "sc:3e sc:3d sc:3e shift+sc:3e sc:3d sc:3e"), U"0");
}

TEST(Translate, ParsesAndRejectsStrokes) {
  auto strokes = ParseStrokes("  Shift+Q\taltgr+sc:1E e0:1c vk:41  ");
  ASSERT_TRUE(strokes.has_value()) << strokes.error();
  ASSERT_EQ(strokes->size(), 4u);
  EXPECT_EQ((*strokes)[0].text, "Shift+Q");
  ASSERT_EQ((*strokes)[0].held.size(), 1u);
  EXPECT_EQ((*strokes)[0].held[0].scan, (ScanCode{Prefix::kNone, 0x2A}));
  EXPECT_EQ((*strokes)[0].key.scan, (ScanCode{Prefix::kNone, 0x10}));
  EXPECT_EQ((*strokes)[1].held[0].scan, (ScanCode{Prefix::kE0, 0x38}));
  EXPECT_EQ((*strokes)[1].key.scan, (ScanCode{Prefix::kNone, 0x1E}));
  EXPECT_EQ((*strokes)[2].key.scan, (ScanCode{Prefix::kE0, 0x1C}));
  EXPECT_FALSE((*strokes)[3].key.scan);
  EXPECT_EQ((*strokes)[3].key.vk, 0x41);

  for (const char* bad : {"foo", "sc:", "sc:123", "shift+", "+a", "vk:zz", "e2:10", "a++b"}) {
    auto parsed = ParseStrokes(bad);
    ASSERT_FALSE(parsed.has_value()) << bad;
    EXPECT_NE(parsed.error().find("unknown key"), std::string::npos) << parsed.error();
  }
  EXPECT_TRUE(ParseStrokes("")->empty());
}

}  // namespace
