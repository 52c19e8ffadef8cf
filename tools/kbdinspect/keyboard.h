// The physical keyboard: the main block of an ISO 102-key board by the scan
// codes its keys send, the names its keys go by, and the browsers'
// KeyboardEvent.code of each key.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kbdinspect/translate.h"

namespace kbd {

// One key of the main block.
struct Slot {
  ScanCode scan;
  double width = 1;   // in key widths
  bool drawn = true;  // false for the lower half of Enter, which is only a neighbour
};

constexpr uint8_t kEnterScan = 0x1C;

// The main block of an ISO 102-key keyboard (with the Windows and Menu keys
// of later boards), row by row from the number row down. ISO Enter spans the
// Tab and Caps Lock rows: it is in the Tab row, and ends the Caps Lock row
// undrawn so that the key left of it has a neighbour to be named by.
std::vector<std::vector<Slot>> MainBlock();

// The name on a key without characters: the layout's own key name where it
// has one, else a plain label; right Alt is AltGr on layouts with
// KLLF_ALTGR. Empty for a key the layout does not map.
std::string KeyLabel(const Layout& layout, ScanCode scan, std::optional<uint8_t> vk);

// A key as browsers name it (KeyboardEvent.code) and the set-1 scan code it
// sends.
struct KeyCode {
  std::string_view code;
  ScanCode scan;
};
// The keys that can type: the writing-system keys, Space, Tab, Enter and
// Backspace, the modifier keys and the numeric keypad.
std::span<const KeyCode> KeyCodes();
// The KeyboardEvent.code of a scan code, if it is one of KeyCodes().
std::optional<std::string_view> CodeOfScan(ScanCode scan);

}  // namespace kbd
