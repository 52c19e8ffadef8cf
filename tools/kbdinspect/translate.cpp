// Scan code -> virtual key -> column -> character, as the keyboard subsystem
// reads a layout's tables.
#include "kbdinspect/translate.h"

#include <algorithm>

#include "kbdinspect/strokes.h"
#include "pe/text.h"

namespace kbd {
namespace {

bool IsShift(uint8_t vk) { return vk == VK_SHIFT || vk == VK_LSHIFT || vk == VK_RSHIFT; }

// The generic key a left or right modifier key also counts as.
std::optional<uint8_t> GenericKey(uint8_t vk) {
  switch (vk) {
    case VK_LSHIFT:
    case VK_RSHIFT: return VK_SHIFT;
    case VK_LCONTROL:
    case VK_RCONTROL: return VK_CONTROL;
    case VK_LMENU:
    case VK_RMENU: return VK_MENU;
    default: return std::nullopt;
  }
}

// With Num Lock on (and no Shift), the keypad's navigation keys type digits.
uint8_t NumLockKey(uint8_t vk) {
  static const std::pair<uint8_t, uint8_t> kKeypad[] = {
      {0x2D, 0x60}, {0x23, 0x61}, {0x28, 0x62}, {0x22, 0x63}, {0x25, 0x64}, {0x0C, 0x65},
      {0x27, 0x66}, {0x24, 0x67}, {0x26, 0x68}, {0x21, 0x69}, {0x2E, 0x6E},
  };
  for (auto [navigation, digit] : kKeypad)
    if (vk == navigation) return digit;
  return vk;
}

std::optional<uint16_t> FindPair(const std::vector<ScanVk>& pairs, uint8_t code) {
  for (const ScanVk& pair : pairs)
    if (pair.scan == code) return pair.vk;
  return std::nullopt;
}

// The row that follows `row` in its table, or null at the end.
const CharRow* NextRow(const CharTable& table, const CharRow* row) {
  const auto index = size_t(row - table.rows.data()) + 1;
  return index < table.rows.size() ? &table.rows[index] : nullptr;
}

Translation LigatureFor(const Layout& layout, uint8_t vk, uint8_t column) {
  Translation t{Outcome::kLigature, {}, column};
  for (const Ligature& lig : layout.ligatures)
    if (lig.vk == vk && lig.column == column) {
      t.units.assign(lig.units.begin(), lig.units.end());
      break;
    }
  return t;
}

std::optional<uint8_t> ResolveKey(const Layout& layout, const Key& key, uint16_t* flags = nullptr) {
  if (!key.scan) return key.vk;
  const auto entry = ScanCodeEntry(layout, *key.scan);
  if (!entry) return std::nullopt;
  if (flags) *flags = *entry & 0xFF00;
  return uint8_t(*entry);
}

// What a finished character does to the text, given a pending dead key.
std::u16string Compose(const Layout& layout, KeyboardState& state, const std::u16string& units) {
  if (!state.pending_dead) return units;
  const char16_t accent = *state.pending_dead;
  state.pending_dead.reset();
  if (units.size() == 1)
    for (const DeadKey& dk : layout.dead_keys)
      if (dk.accent == accent && dk.base == units[0])
        return std::u16string(1, char16_t(dk.composed));
  return std::u16string(1, accent) + units;  // no composition: both characters
}

}  // namespace

std::optional<uint16_t> ScanCodeEntry(const Layout& layout, ScanCode scan) {
  std::optional<uint16_t> entry;
  switch (scan.prefix) {
    case Prefix::kNone:
      if (scan.code < layout.scan_to_vk.size()) entry = layout.scan_to_vk[scan.code];
      break;
    case Prefix::kE0: entry = FindPair(layout.e0, scan.code); break;
    case Prefix::kE1: entry = FindPair(layout.e1, scan.code); break;
  }
  if (!entry || uint8_t(*entry) == kNoKey || uint8_t(*entry) == 0) return std::nullopt;
  return entry;
}

std::optional<uint8_t> ScanCodeToVk(const Layout& layout, ScanCode scan) {
  const auto entry = ScanCodeEntry(layout, scan);
  if (!entry) return std::nullopt;
  return uint8_t(*entry);
}

uint16_t ModifierMask(const Layout& layout, const std::set<uint8_t>& held_vks) {
  std::set<uint8_t> held = held_vks;
  for (uint8_t vk : held_vks)
    if (auto generic = GenericKey(vk)) held.insert(*generic);
  // AltGr: the system presses a left Ctrl along with the right Alt.
  if ((layout.locale_flags() & KLLF_ALTGR) && held.count(VK_RMENU)) {
    held.insert(VK_LCONTROL);
    held.insert(VK_CONTROL);
  }
  uint16_t mask = 0;
  for (const VkToBit& pair : layout.modifiers.vk_to_bit)
    if (held.count(pair.vk)) mask |= pair.bits;
  return mask;
}

std::optional<uint8_t> ColumnForMask(const Layout& layout, uint16_t mask) {
  const Modifiers& mods = layout.modifiers;
  if (mask > mods.max_mod_bits || mask >= mods.mod_number.size()) return std::nullopt;
  const uint8_t column = mods.mod_number[mask];
  if (column == SHFT_INVALID) return std::nullopt;
  return column;
}

Translation TranslateVk(const Layout& layout, uint8_t vk, uint16_t mask, bool caps_lock) {
  const CharTable* table = nullptr;
  const CharRow* row = layout.FindRow(vk, &table);
  if (!row) return {};

  // Caps Lock acts as Shift on the Base/Shift columns of CAPLOK rows, and on
  // the AltGr columns of CAPLOKALTGR rows.
  uint16_t effective = mask;
  if (caps_lock && (row->attributes & CAPLOK) && (mask & ~KBDSHIFT) == 0) effective ^= KBDSHIFT;
  if (caps_lock && (row->attributes & CAPLOKALTGR) &&
      (mask & (KBDCTRL | KBDALT)) == (KBDCTRL | KBDALT))
    effective ^= KBDSHIFT;
  const auto column = ColumnForMask(layout, effective);
  if (!column) return {};

  // SGCAPS: with Caps Lock, the Base/Shift characters come from the next row.
  const CharRow* cells = row;
  if (caps_lock && (row->attributes & SGCAPS) && (mask & ~KBDSHIFT) == 0)
    if (const CharRow* next = NextRow(*table, row)) cells = next;

  Translation t{Outcome::kNothing, {}, column};
  if (*column >= cells->cells.size()) return t;
  const uint16_t cell = cells->cells[*column];
  if (cell == WCH_NONE) return t;
  if (cell == WCH_LGTR) return LigatureFor(layout, vk, *column);
  if (cell == WCH_DEAD) {
    // The dead character sits in the same column of the row that follows.
    t.outcome = Outcome::kDead;
    const CharRow* next = NextRow(*table, cells);
    if (next && next->vk == kNoKey && *column < next->cells.size())
      t.units = char16_t(next->cells[*column]);
    return t;
  }
  t.outcome = Outcome::kCharacter;
  t.units = char16_t(cell);
  return t;
}

TypedStroke TypeStroke(const Layout& layout, const Stroke& stroke, KeyboardState& state) {
  TypedStroke typed;
  std::set<uint8_t> held;
  for (const Key& key : stroke.held)
    if (auto vk = ResolveKey(layout, key)) held.insert(*vk);

  uint16_t flags = 0;
  typed.vk = ResolveKey(layout, stroke.key, &flags);
  if (!typed.vk) return typed;
  const bool shift_held = std::any_of(held.begin(), held.end(), IsShift);
  if ((flags & KBDNUMPAD) && state.num_lock && !shift_held) typed.vk = NumLockKey(*typed.vk);

  if (*typed.vk == VK_CAPITAL) state.caps_lock = !state.caps_lock;
  if (*typed.vk == VK_NUMLOCK) state.num_lock = !state.num_lock;

  typed.mask = ModifierMask(layout, held);
  typed.translation = TranslateVk(layout, *typed.vk, typed.mask, state.caps_lock);
  const Translation& t = typed.translation;
  switch (t.outcome) {
    case Outcome::kNothing: break;
    case Outcome::kDead:
      if (state.pending_dead) {
        typed.output = Compose(layout, state, t.units);  // a dead key typed twice
      } else if (!t.units.empty()) {
        state.pending_dead = t.units[0];
      }
      break;
    case Outcome::kCharacter:
    case Outcome::kLigature: typed.output = Compose(layout, state, t.units); break;
  }
  return typed;
}

Expected<std::u32string> TypeText(const Layout& layout, std::string_view strokes) {
  auto parsed = ParseStrokes(strokes);
  if (!parsed) return std::unexpected(parsed.error());
  KeyboardState state;
  std::u16string text;
  for (const Stroke& stroke : *parsed) text += TypeStroke(layout, stroke, state).output;
  return pe::DecodeUtf16(text);
}

std::u32string TypedCharacters(const Layout& layout) {
  std::set<uint8_t> keys;
  for (const CharTable& table : layout.tables)
    for (const CharRow& row : table.rows) keys.insert(row.vk);
  std::set<char32_t> typed;
  for (uint8_t vk : keys)
    for (uint16_t mask = 0; mask <= layout.modifiers.max_mod_bits; ++mask)
      for (bool caps_lock : {false, true})
        for (char32_t c : pe::DecodeUtf16(TranslateVk(layout, vk, mask, caps_lock).units))
          typed.insert(c);
  for (const DeadKey& dead_key : layout.dead_keys) typed.insert(dead_key.composed);
  return {typed.begin(), typed.end()};
}

}  // namespace kbd
