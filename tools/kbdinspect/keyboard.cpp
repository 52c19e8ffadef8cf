// The physical keyboard: where its keys are, what they are called, what
// browsers call them.
#include "kbdinspect/keyboard.h"

#include <utility>

#include "kbdinspect/markup.h"
#include "kbdinspect/report.h"

namespace kbd {
namespace {

Slot Plain(uint8_t code, double width = 1) { return {{Prefix::kNone, code}, width}; }
Slot Extended(uint8_t code, double width = 1) { return {{Prefix::kE0, code}, width}; }

void AddRun(std::vector<Slot>& row, uint8_t first, uint8_t last) {
  for (unsigned code = first; code <= last; ++code) row.push_back(Plain(uint8_t(code)));
}

}  // namespace

std::vector<std::vector<Slot>> MainBlock() {
  std::vector<std::vector<Slot>> rows(5);
  rows[0].push_back(Plain(0x29));       // grave key, left of 1
  AddRun(rows[0], 0x02, 0x0D);          // 1 .. 0, minus, equals
  rows[0].push_back(Plain(0x0E, 2));    // Backspace
  rows[1].push_back(Plain(0x0F, 1.5));  // Tab
  AddRun(rows[1], 0x10, 0x1B);          // Q .. P, brackets
  rows[1].push_back(Plain(kEnterScan, 1.5));
  rows[2].push_back(Plain(0x3A, 1.75));  // Caps Lock
  AddRun(rows[2], 0x1E, 0x28);           // A .. L, semicolon, apostrophe
  rows[2].push_back(Plain(0x2B));        // left of Enter on ISO boards
  rows[2].push_back({{Prefix::kNone, kEnterScan}, 1.25, false});
  rows[3].push_back(Plain(0x2A, 1.25));  // left Shift
  rows[3].push_back(Plain(0x56));        // the 102nd key, left of Z
  AddRun(rows[3], 0x2C, 0x35);           // Z .. M, comma, period, slash
  rows[3].push_back(Plain(0x36, 2.75));  // right Shift
  rows[4] = {Plain(0x1D, 1.25),    Extended(0x5B, 1.25), Plain(0x38, 1.25),
             Plain(0x39, 6.25),    Extended(0x38, 1.25), Extended(0x5C, 1.25),
             Extended(0x5D, 1.25), Extended(0x1D, 1.25)};
  return rows;
}

std::string KeyLabel(const Layout& layout, ScanCode scan, std::optional<uint8_t> vk) {
  if (!vk) return "";
  if (*vk == VK_RMENU && (layout.locale_flags() & KLLF_ALTGR)) return "AltGr";
  const auto& names = scan.prefix == Prefix::kE0 ? layout.key_names_ext : layout.key_names;
  for (const KeyName& name : names) {
    if (name.scan != scan.code) continue;
    std::string text = DrawableName(name.name);
    if (!text.empty()) return text;
  }
  // clang-format off
  static const std::pair<uint8_t, const char*> kPlainNames[] = {
      {0x08, "Backspace"}, {0x09, "Tab"}, {0x0D, "Enter"}, {0x20, "Space"},
      {VK_CAPITAL, "Caps Lock"}, {VK_SHIFT, "Shift"}, {VK_LSHIFT, "Shift"}, {VK_RSHIFT, "Shift"},
      {VK_CONTROL, "Ctrl"}, {VK_LCONTROL, "Ctrl"}, {VK_RCONTROL, "Ctrl"}, {VK_MENU, "Alt"},
      {VK_LMENU, "Alt"}, {VK_RMENU, "Alt"}, {0x5B, "Win"}, {0x5C, "Win"}, {0x5D, "Menu"}};
  // clang-format on
  for (auto [code, name] : kPlainNames)
    if (code == *vk) return name;
  std::string name = VkName(*vk);
  return name.rfind("VK_", 0) == 0 ? name.substr(3) : name;
}

namespace {

constexpr Prefix N = Prefix::kNone;
constexpr Prefix E0 = Prefix::kE0;

// As the UI Events code values name them, with the scan codes of Windows'
// keyboard input for the same keys.
// clang-format off
const KeyCode kKeyCodes[] = {
    {"Backquote", {N, 0x29}}, {"Digit1", {N, 0x02}}, {"Digit2", {N, 0x03}},
    {"Digit3", {N, 0x04}}, {"Digit4", {N, 0x05}}, {"Digit5", {N, 0x06}},
    {"Digit6", {N, 0x07}}, {"Digit7", {N, 0x08}}, {"Digit8", {N, 0x09}},
    {"Digit9", {N, 0x0A}}, {"Digit0", {N, 0x0B}}, {"Minus", {N, 0x0C}},
    {"Equal", {N, 0x0D}}, {"Backspace", {N, 0x0E}}, {"Tab", {N, 0x0F}},
    {"KeyQ", {N, 0x10}}, {"KeyW", {N, 0x11}}, {"KeyE", {N, 0x12}}, {"KeyR", {N, 0x13}},
    {"KeyT", {N, 0x14}}, {"KeyY", {N, 0x15}}, {"KeyU", {N, 0x16}}, {"KeyI", {N, 0x17}},
    {"KeyO", {N, 0x18}}, {"KeyP", {N, 0x19}}, {"BracketLeft", {N, 0x1A}},
    {"BracketRight", {N, 0x1B}}, {"Enter", {N, 0x1C}}, {"ControlLeft", {N, 0x1D}},
    {"KeyA", {N, 0x1E}}, {"KeyS", {N, 0x1F}}, {"KeyD", {N, 0x20}}, {"KeyF", {N, 0x21}},
    {"KeyG", {N, 0x22}}, {"KeyH", {N, 0x23}}, {"KeyJ", {N, 0x24}}, {"KeyK", {N, 0x25}},
    {"KeyL", {N, 0x26}}, {"Semicolon", {N, 0x27}}, {"Quote", {N, 0x28}},
    {"ShiftLeft", {N, 0x2A}}, {"Backslash", {N, 0x2B}}, {"KeyZ", {N, 0x2C}},
    {"KeyX", {N, 0x2D}}, {"KeyC", {N, 0x2E}}, {"KeyV", {N, 0x2F}}, {"KeyB", {N, 0x30}},
    {"KeyN", {N, 0x31}}, {"KeyM", {N, 0x32}}, {"Comma", {N, 0x33}}, {"Period", {N, 0x34}},
    {"Slash", {N, 0x35}}, {"ShiftRight", {N, 0x36}}, {"AltLeft", {N, 0x38}},
    {"Space", {N, 0x39}}, {"CapsLock", {N, 0x3A}}, {"IntlBackslash", {N, 0x56}},
    {"IntlRo", {N, 0x73}}, {"IntlYen", {N, 0x7D}},
    {"ControlRight", {E0, 0x1D}}, {"AltRight", {E0, 0x38}}, {"MetaLeft", {E0, 0x5B}},
    {"MetaRight", {E0, 0x5C}}, {"ContextMenu", {E0, 0x5D}},
    {"NumLock", {N, 0x45}}, {"Numpad7", {N, 0x47}}, {"Numpad8", {N, 0x48}},
    {"Numpad9", {N, 0x49}}, {"NumpadSubtract", {N, 0x4A}}, {"Numpad4", {N, 0x4B}},
    {"Numpad5", {N, 0x4C}}, {"Numpad6", {N, 0x4D}}, {"NumpadAdd", {N, 0x4E}},
    {"Numpad1", {N, 0x4F}}, {"Numpad2", {N, 0x50}}, {"Numpad3", {N, 0x51}},
    {"Numpad0", {N, 0x52}}, {"NumpadDecimal", {N, 0x53}}, {"NumpadMultiply", {N, 0x37}},
    {"NumpadEqual", {N, 0x59}}, {"NumpadComma", {N, 0x7E}},
    {"NumpadDivide", {E0, 0x35}}, {"NumpadEnter", {E0, 0x1C}},
};
// clang-format on

}  // namespace

std::span<const KeyCode> KeyCodes() { return kKeyCodes; }

std::optional<std::string_view> CodeOfScan(ScanCode scan) {
  for (const KeyCode& key : kKeyCodes)
    if (key.scan == scan) return key.code;
  return std::nullopt;
}

}  // namespace kbd
