// The key-stroke syntax of `kbdinspect type` and of TypeText.
#include "kbdinspect/strokes.h"

#include <cctype>
#include <charconv>

#include "pe/text.h"

namespace kbd {
namespace {

// Keys by their position on a US 101/102-key keyboard (scan code set 1).
struct NamedKey {
  const char* name;
  ScanCode scan;
};

constexpr Prefix N = Prefix::kNone;
constexpr Prefix E0 = Prefix::kE0;

// clang-format off
const NamedKey kNamedKeys[] = {
    {"esc", {N, 0x01}},       {"minus", {N, 0x0C}},     {"equals", {N, 0x0D}},
    {"backspace", {N, 0x0E}}, {"tab", {N, 0x0F}},       {"lbracket", {N, 0x1A}},
    {"rbracket", {N, 0x1B}},  {"enter", {N, 0x1C}},     {"semicolon", {N, 0x27}},
    {"quote", {N, 0x28}},     {"grave", {N, 0x29}},     {"backslash", {N, 0x2B}},
    {"comma", {N, 0x33}},     {"period", {N, 0x34}},    {"slash", {N, 0x35}},
    {"space", {N, 0x39}},     {"capslock", {N, 0x3A}},  {"numlock", {N, 0x45}},
    {"oem102", {N, 0x56}},    {"num7", {N, 0x47}},      {"num8", {N, 0x48}},
    {"num9", {N, 0x49}},      {"numminus", {N, 0x4A}},  {"num4", {N, 0x4B}},
    {"num5", {N, 0x4C}},      {"num6", {N, 0x4D}},      {"numplus", {N, 0x4E}},
    {"num1", {N, 0x4F}},      {"num2", {N, 0x50}},      {"num3", {N, 0x51}},
    {"num0", {N, 0x52}},      {"numdecimal", {N, 0x53}}, {"nummultiply", {N, 0x37}},
    {"numdivide", {E0, 0x35}}, {"numenter", {E0, 0x1C}},
    // Modifier keys, mostly written before a '+'.
    {"shift", {N, 0x2A}},     {"lshift", {N, 0x2A}},    {"rshift", {N, 0x36}},
    {"ctrl", {N, 0x1D}},      {"lctrl", {N, 0x1D}},     {"rctrl", {E0, 0x1D}},
    {"alt", {N, 0x38}},       {"lalt", {N, 0x38}},      {"ralt", {E0, 0x38}},
    {"altgr", {E0, 0x38}},
};
// clang-format on

// Letters and digits in keyboard order, from their scan codes.
constexpr const char* kLetterRows[] = {"qwertyuiop", "asdfghjkl", "zxcvbnm"};
constexpr uint8_t kLetterRowStart[] = {0x10, 0x1E, 0x2C};

std::optional<ScanCode> LetterOrDigit(std::string_view name) {
  if (name.size() != 1) return std::nullopt;
  const char c = name[0];
  if (c >= '1' && c <= '9') return ScanCode{N, uint8_t(0x02 + (c - '1'))};
  if (c == '0') return ScanCode{N, 0x0B};
  for (size_t row = 0; row < 3; ++row)
    for (size_t i = 0; kLetterRows[row][i]; ++i)
      if (kLetterRows[row][i] == c) return ScanCode{N, uint8_t(kLetterRowStart[row] + i)};
  return std::nullopt;
}

std::optional<uint8_t> HexByte(std::string_view digits) {
  unsigned value = 0;
  if (digits.empty() || digits.size() > 2) return std::nullopt;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
  if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return uint8_t(value);
}

std::optional<Key> ParseKey(std::string_view word) {
  auto prefixed = [&](std::string_view prefix) {
    return word.size() > prefix.size() && word.substr(0, prefix.size()) == prefix;
  };
  struct Form {
    const char* prefix;
    std::optional<Prefix> scan_prefix;  // empty: a virtual key
  };
  static const Form kForms[] = {
      {"sc:", Prefix::kNone}, {"0x", Prefix::kNone}, {"e0:", Prefix::kE0},
      {"e1:", Prefix::kE1},   {"vk:", std::nullopt},
  };
  for (const Form& form : kForms) {
    const std::string_view prefix = form.prefix;
    if (!prefixed(prefix)) continue;
    const auto value = HexByte(word.substr(prefix.size()));
    if (!value) return std::nullopt;
    if (!form.scan_prefix) return Key{std::nullopt, *value};
    return Key{ScanCode{*form.scan_prefix, *value}, 0};
  }
  for (const NamedKey& named : kNamedKeys)
    if (word == named.name) return Key{named.scan, 0};
  if (auto scan = LetterOrDigit(word)) return Key{*scan, 0};
  return std::nullopt;
}

}  // namespace

const char* StrokeSyntaxHelp() {
  return "A stroke is KEY or MOD+...+KEY; strokes are separated by spaces.\n"
         "KEY is one of:\n"
         "  sc:HH or 0xHH   a scan code (hex), e0:HH and e1:HH prefixed ones\n"
         "  vk:HH           a virtual key (hex), bypassing the scan-code map\n"
         "  a..z 0..9       the key at that place on a US keyboard\n"
         "  esc minus equals backspace tab lbracket rbracket enter semicolon\n"
         "  quote grave backslash comma period slash space oem102 capslock\n"
         "  numlock num0..num9 numdecimal numplus numminus nummultiply\n"
         "  numdivide numenter\n"
         "MOD is shift lshift rshift ctrl lctrl rctrl alt lalt ralt altgr, or any KEY.\n"
         "capslock and numlock toggle their lock; modifier keys go through the\n"
         "layout's own scan-code map like any other key.\n";
}

Expected<std::vector<Stroke>> ParseStrokes(std::string_view text) {
  std::vector<Stroke> strokes;
  size_t at = 0;
  while (at < text.size()) {
    if (std::isspace(static_cast<unsigned char>(text[at]))) {
      ++at;
      continue;
    }
    size_t end = at;
    while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end]))) ++end;
    Stroke stroke;
    stroke.text = std::string(text.substr(at, end - at));
    const std::string word = pe::Lower(stroke.text);
    std::vector<Key> keys;
    for (size_t start = 0;;) {
      const size_t plus = word.find('+', start);
      const std::string part = word.substr(start, plus == std::string::npos ? plus : plus - start);
      auto key = ParseKey(part);
      if (!key)
        return std::unexpected("unknown key '" + part + "' in stroke '" + stroke.text + "'");
      keys.push_back(*key);
      if (plus == std::string::npos) break;
      start = plus + 1;
    }
    stroke.key = keys.back();
    keys.pop_back();
    stroke.held = std::move(keys);
    strokes.push_back(std::move(stroke));
    at = end;
  }
  return strokes;
}

}  // namespace kbd
