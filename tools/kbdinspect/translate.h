// Emulates how the Windows keyboard subsystem turns key strokes into
// characters through a layout's tables: scan code to virtual key, held
// modifier keys to a bit mask and a column, Caps Lock, dead keys.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "kbdinspect/layout.h"

namespace kbd {

enum class Prefix : uint8_t { kNone, kE0, kE1 };

struct ScanCode {
  Prefix prefix = Prefix::kNone;
  uint8_t code = 0;
  bool operator==(const ScanCode&) const = default;
};

// The scan-code map entry for a scan code: virtual key in the low byte,
// KBDEXT/KBDNUMPAD/... flags in the high byte. nullopt when the scan code has
// no entry (past bMaxVSCtoVK, or absent from the E0/E1 list) or maps to the
// no-key code 0xFF.
std::optional<uint16_t> ScanCodeEntry(const Layout& layout, ScanCode scan);
std::optional<uint8_t> ScanCodeToVk(const Layout& layout, ScanCode scan);

// The modifier bits of the held keys through the layout's VK_TO_BIT pairs.
// Left and right keys also count as their generic key (VK_LSHIFT as
// VK_SHIFT); with KLLF_ALTGR, right Alt also holds Ctrl.
uint16_t ModifierMask(const Layout& layout, const std::set<uint8_t>& held_vks);

// ModNumber[mask]; nullopt past wMaxModBits or for SHFT_INVALID.
std::optional<uint8_t> ColumnForMask(const Layout& layout, uint16_t mask);

enum class Outcome {
  kCharacter,  // `units` is what the key types
  kNothing,    // no row, no column, a column past the row's count, or WCH_NONE
  kDead,       // a dead key; `units` holds the dead character when known
  kLigature,   // `units` holds the ligature's characters when found
};

struct Translation {
  Outcome outcome = Outcome::kNothing;
  std::u16string units;
  std::optional<uint8_t> column;  // the column consulted, after Caps Lock
  bool operator==(const Translation&) const = default;
};

// The character of a virtual key under a modifier mask and Caps Lock state.
Translation TranslateVk(const Layout& layout, uint8_t vk, uint16_t mask, bool caps_lock);

// A key stroke: keys held down, then one key pressed and released.
// A key is a scan code, or a virtual key given directly.
struct Key {
  std::optional<ScanCode> scan;
  uint8_t vk = 0;  // used when scan is empty
};

struct Stroke {
  std::vector<Key> held;
  Key key;
  std::string text;  // as written
};

struct KeyboardState {
  bool caps_lock = false;
  bool num_lock = false;
  std::optional<char16_t> pending_dead;  // a dead character waiting for the next key
};

struct TypedStroke {
  std::optional<uint8_t> vk;  // after the scan-code map (and Num Lock)
  uint16_t mask = 0;
  Translation translation;
  std::u16string output;  // what reached the text, after dead-key composition
};

// Types one stroke, updating Caps Lock / Num Lock and a pending dead key.
TypedStroke TypeStroke(const Layout& layout, const Stroke& stroke, KeyboardState& state);

// Types a stroke sequence from a fresh keyboard state and returns the code
// points that reach the text.
Expected<std::u32string> TypeText(const Layout& layout, std::string_view strokes);

// Every character the layout types: what each key with a row types under
// each modifier mask, with Caps Lock off and on (dead characters and
// ligatures included), and what its dead keys compose. In code-point order,
// each once.
std::u32string TypedCharacters(const Layout& layout);

}  // namespace kbd
