// Writing the typing page: the table of what every key types in every
// state, the on-screen keyboard, the fonts, and the script that looks key
// events up in the table.
#include "kbdinspect/html_page.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <vector>

#include "kbdinspect/keyboard.h"
#include "kbdinspect/markup.h"
#include "kbdinspect/marks.h"
#include "kbdinspect/report.h"
#include "kbdinspect/translate.h"
#include "pe/text.h"

namespace kbd {
namespace {

// ---------------------------------------------------------------------------
// What each key types in each state.

// One bit of the page's state: a modifier key held, by the scan code it
// sends, or a lock that is on. The script builds the same bits from a key
// event (the names are its names).
struct StateBit {
  const char* name;
  std::optional<ScanCode> key;
};
constexpr StateBit kStateBits[] = {
    {"shift", ScanCode{Prefix::kNone, 0x2A}},
    {"ctrl", ScanCode{Prefix::kNone, 0x1D}},
    {"alt", ScanCode{Prefix::kNone, 0x38}},
    {"altgr", ScanCode{Prefix::kE0, 0x38}},
    {"caps", std::nullopt},
    {"num", std::nullopt},
};
constexpr unsigned kCapsBit = 1u << 4, kNumBit = 1u << 5;
static_assert(std::string_view(kStateBits[4].name) == "caps" &&
              std::string_view(kStateBits[5].name) == "num");
constexpr unsigned kStates = 1u << std::size(kStateBits);

// What the key types from a fresh keyboard in `state`, as `kbdinspect type`
// types "shift+altgr+KEY" (with "capslock" and "numlock" before it).
std::u16string TypedInState(const Layout& layout, ScanCode scan, unsigned state) {
  Stroke stroke;
  for (size_t bit = 0; bit < std::size(kStateBits); ++bit)
    if ((state & (1u << bit)) && kStateBits[bit].key)
      stroke.held.push_back(Key{kStateBits[bit].key, 0});
  stroke.key = Key{scan, 0};
  KeyboardState keyboard;
  keyboard.caps_lock = state & kCapsBit;
  keyboard.num_lock = state & kNumBit;
  return TypeStroke(layout, stroke, keyboard).output;
}

// Control characters (Backspace's U+0008, Enter's U+000D, Ctrl+[...) are
// the browser's to handle, not text to insert.
bool Insertable(std::u16string_view units) {
  return !units.empty() &&
         std::none_of(units.begin(), units.end(), [](char16_t u) { return u < 0x20 || u == 0x7F; });
}

// One text the layout types, and how a key that types it looks.
struct Output {
  std::u16string text;
  std::u32string face;   // as the key shows it; empty when it shows nothing (a space)
  std::u32string label;  // the key's accessible name: "U+0301 combining acute accent"
  bool mark = false;     // holds a combining mark
};

std::u32string Label(const std::u32string& text) {
  std::u32string label;
  for (char32_t c : text) {
    if (!label.empty()) label += U", ";
    const std::string code = CodePointLabel(c);
    label += std::u32string(code.begin(), code.end()) + U' ';
    if (IsCombiningMark(c)) {
      const std::string name = pe::Lower(CombiningMarkName(c));
      label += name.empty() ? U"combining mark" : std::u32string(name.begin(), name.end());
    } else if (c == U' ') {
      label += U"space";
    } else if (Drawable(c)) {
      label += c;
    }
  }
  return label;
}

Output Describe(const std::u16string& units) {
  Output out{units, {}, {}, false};
  const std::u32string text = pe::DecodeUtf16(units);
  if (Visible(text)) {
    if (IsCombiningMark(text[0])) out.face = kDottedCircle;  // as on the chart
    out.face += text;
  }
  out.label = Label(text);
  out.mark = std::any_of(text.begin(), text.end(), IsCombiningMark);
  return out;
}

// Every text the layout types, once each (index 0 is "nothing"), and for
// each key that types any, the index of its text in each state.
struct TypingTable {
  std::vector<Output> outputs{Output{}};
  std::vector<std::pair<std::string_view, std::array<size_t, kStates>>> keys;
};

TypingTable BuildTable(const Layout& layout) {
  TypingTable table;
  std::map<std::u16string, size_t> index;
  for (const KeyCode& key : KeyCodes()) {
    std::array<size_t, kStates> states{};
    for (unsigned state = 0; state < kStates; ++state) {
      const std::u16string typed = TypedInState(layout, key.scan, state);
      if (!Insertable(typed)) continue;
      auto [at, added] = index.emplace(typed, table.outputs.size());
      if (added) table.outputs.push_back(Describe(typed));
      states[state] = at->second;
    }
    if (std::any_of(states.begin(), states.end(), [](size_t i) { return i != 0; }))
      table.keys.emplace_back(key.code, states);
  }
  return table;
}

// ---------------------------------------------------------------------------
// The table as the script's data.

void AppendUnit(std::string& out, char16_t u) {
  if (u >= 0x20 && u < 0x7F && u != '"' && u != '\\' && u != '<' && u != '>' && u != '&') {
    out += char(u);
    return;
  }
  char escape[8];
  std::snprintf(escape, sizeof escape, "\\u%04X", unsigned(u));
  out += escape;
}

// A JavaScript string literal of exactly these UTF-16 units. Everything but
// plain ASCII is escaped, so nothing in it can end the script element.
std::string JsString(std::u16string_view units) {
  std::string out = "\"";
  for (char16_t u : units) AppendUnit(out, u);
  return out + "\"";
}

std::u16string Utf16(std::u32string_view text) {
  std::u16string units;
  for (char32_t c : text) {
    if (c < 0x10000) {
      units += char16_t(c);
    } else {
      units += char16_t(0xD800 + ((c - 0x10000) >> 10));
      units += char16_t(0xDC00 + ((c - 0x10000) & 0x3FF));
    }
  }
  return units;
}

std::string JsString(std::u32string_view text) { return JsString(Utf16(text)); }
std::string JsString(std::string_view ascii) {
  return JsString(std::u32string(ascii.begin(), ascii.end()));
}

std::string LayoutData(const TypingTable& table) {
  std::string js = "const LAYOUT = {\n  bits: {";
  for (size_t bit = 0; bit < std::size(kStateBits); ++bit)
    js += std::string(bit ? ", " : "") + kStateBits[bit].name + ": " + std::to_string(1u << bit);
  js += "},\n  // [text, face, accessible name, holds a mark]; 0 is nothing\n  out: [0";
  for (size_t i = 1; i < table.outputs.size(); ++i) {
    const Output& o = table.outputs[i];
    js += ",\n    [" + JsString(o.text) + ", " + JsString(o.face) + ", " + JsString(o.label) +
          ", " + (o.mark ? "1" : "0") + "]";
  }
  js += "],\n  // by KeyboardEvent.code, the text in each state\n  keys: {";
  for (size_t k = 0; k < table.keys.size(); ++k) {
    js += std::string(k ? "," : "") + "\n    " + JsString(table.keys[k].first) + ": [";
    for (unsigned state = 0; state < kStates; ++state)
      js += (state ? "," : "") + std::to_string(table.keys[k].second[state]);
    js += "]";
  }
  return js + "},\n};\n";
}

// ---------------------------------------------------------------------------
// The on-screen keyboard: the main block on a grid of quarter keys.

std::string Quarters(double width) { return std::to_string(int(width * 4 + 0.5)); }

// What a key without text does when clicked, by its virtual key.
const char* Action(std::optional<uint8_t> vk) {
  if (vk == 0x08) return "delete";
  if (vk == 0x0D) return "newline";
  return nullptr;
}

const char* Latch(std::optional<uint8_t> vk) {
  if (vk == VK_SHIFT || vk == VK_LSHIFT || vk == VK_RSHIFT) return "shift";
  if (vk == VK_RMENU) return "altgr";
  if (vk == VK_CAPITAL) return "caps";
  return nullptr;
}

std::string KeyButton(const Layout& layout, const TypingTable& table, const Slot& slot,
                      std::string_view code, const std::string& area) {
  const auto vk = ScanCodeToVk(layout, slot.scan);
  std::string button = "<button type=\"button\" data-code=\"" + std::string(code) + "\"";
  // A key that never shows a character (Space, Shift) shows its name.
  const bool shows = std::any_of(table.keys.begin(), table.keys.end(), [&](const auto& key) {
    return key.first == code && std::any_of(key.second.begin(), key.second.end(), [&](size_t i) {
             return !table.outputs[i].face.empty();
           });
  });
  if (!shows) {
    const std::string name = KeyLabel(layout, slot.scan, vk);
    if (!name.empty()) button += " data-name=\"" + Escape(name) + "\"";
    if (const char* latch = Latch(vk))
      button += std::string(" data-latch=\"") + latch + "\" aria-pressed=\"false\"";
    if (const char* action = Action(vk)) button += std::string(" data-action=\"") + action + "\"";
  }
  return button + " style=\"grid-area:" + area + "\"></button>\n";
}

std::string Keyboard(const Layout& layout, const TypingTable& table) {
  const auto rows = MainBlock();
  constexpr double kBlockWidth = 15;
  std::string html;
  for (size_t r = 0; r < rows.size(); ++r) {
    double x = 0;
    for (const Slot& slot : rows[r]) {
      const double left = x;
      x += slot.width;
      const auto code = CodeOfScan(slot.scan);
      if (!slot.drawn || !code) continue;
      // A key with an undrawn half in the next row (ISO Enter) spans both
      // rows, as wide as that half, flush right.
      const Slot* lower = nullptr;
      if (r + 1 < rows.size())
        for (const Slot& below : rows[r + 1])
          if (!below.drawn && below.scan == slot.scan) lower = &below;
      const double column = lower ? kBlockWidth - lower->width : left;
      const std::string area = std::to_string(r + 1) + "/" + std::to_string(int(column * 4) + 1) +
                               "/span " + (lower ? "2" : "1") + "/span " +
                               Quarters(lower ? lower->width : slot.width);
      html += KeyButton(layout, table, slot, *code, area);
    }
  }
  return html;
}

// ---------------------------------------------------------------------------
// Fonts.

std::string Base64(const std::vector<uint8_t>& bytes) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t n = std::min<size_t>(3, bytes.size() - i);
    uint32_t group = uint32_t(bytes[i]) << 16;
    if (n > 1) group |= uint32_t(bytes[i + 1]) << 8;
    if (n > 2) group |= bytes[i + 2];
    for (size_t k = 0; k < 4; ++k) out += k <= n ? kDigits[(group >> (18 - 6 * k)) & 0x3F] : '=';
  }
  return out;
}

// A CSS string of the family name: quotes and backslashes escaped, no
// control characters, and no "<" that could end the style element.
std::string CssString(const std::string& utf8) {
  std::string out = "\"";
  for (char c : utf8) {
    if (uint8_t(c) < 0x20 || c == 0x7F) continue;
    if (c == '"' || c == '\\') out += '\\';
    out += c == '<' ? std::string("\\3C ") : std::string(1, c);
  }
  return out + "\"";
}

std::string FontFace(const FontFile& font) {
  const char* type = font.format == "opentype" ? "font/otf" : "font/ttf";
  return "@font-face { font-family: " + CssString(font.family) + "; src: url(\"data:" + type +
         ";base64," + Base64(font.bytes) + "\") format(\"" + font.format +
         "\"); font-display: block; }\n";
}

std::string FontStack(const std::optional<FontFile>& font, const char* generic) {
  return (font ? CssString(font->family) + ", " : std::string()) + generic;
}

// ---------------------------------------------------------------------------
// The document.

const char kStyle[] =
    R"(body { margin: 0; background: #f5f6f8; color: #1b1f24; font: 17px/1.45 var(--text); }
main { max-width: 1120px; margin: 0 auto; padding: 20px 24px 28px; }
h1 { font-size: 28px; margin: 0 0 4px; }
p { margin: 0 0 12px; }
.intro, .note { color: #4a525d; }
textarea { box-sizing: border-box; width: 100%; height: 7.5em; padding: 10px 14px; font: 30px/1.35 var(--text);
  color: inherit; background: #fff; border: 1px solid #7b8491; border-radius: 8px; resize: vertical; }
textarea:focus { outline: 3px solid #1a5cc2; outline-offset: 1px; }
.bar { display: flex; gap: 16px; align-items: center; margin: 8px 0 16px; min-height: 40px; }
#caret { flex: 1; margin: 0; }
#cluster { font-size: 28px; margin: 0 6px; }
#points { font: 17px var(--fixed); }
#copy { font: inherit; padding: 5px 20px; background: #fff; border: 1px solid #7b8491; border-radius: 6px; cursor: pointer; }
#keyboard { display: grid; grid-template-columns: repeat(60, 1fr); grid-auto-rows: 60px; gap: 6px;
  padding: 14px; margin-bottom: 14px; background: #cfd5dd; border-radius: 14px; }
#keyboard button { min-width: 0; padding: 0; overflow: hidden; font: 28px var(--text); color: #15191e;
  background: #fff; border: 1px solid #7b8491; border-radius: 7px; box-shadow: 0 2px 0 #98a0ab; cursor: pointer; }
#keyboard button.named { font-size: 15px; color: #353b43; background: #e1e5ea; }
#keyboard button.mark { color: #b3261e; background: #ffd88a; border-color: #b07d16; }
#keyboard button.held, #keyboard button[aria-pressed="true"] { color: #fff; background: #1a5cc2; border-color: #1a5cc2; }
#keyboard button:active { transform: translateY(1px); box-shadow: 0 1px 0 #98a0ab; }
)";

// Looks key events up in LAYOUT and inserts what it gives; leaves every
// key it gives nothing for to the browser.
const char kScript[] = R"js("use strict";
(() => {
  const text = document.getElementById("text");
  const keyboard = document.getElementById("keyboard");
  const held = new Set();     // physical modifier keys down, by code
  const latched = new Set();  // on-screen latches: "shift", "altgr", "caps"
  const modifierCodes = ["ShiftLeft", "ShiftRight", "ControlLeft", "ControlRight", "AltLeft", "AltRight"];
  let capsLock = false, numLock = false;  // as the last key event found them

  const bits = (on) => Object.entries(LAYOUT.bits).reduce((s, [name, bit]) => (on[name] ? s | bit : s), 0);

  function lookup(code, state) {
    const row = LAYOUT.keys[code];
    return row && row[state] ? LAYOUT.out[row[state]] : null;
  }

  // Right Alt is told from left Alt by the key held, or by the AltGraph
  // state where the system reports one; what it does is the layout's affair.
  function eventState(e) {
    const rightAlt = held.has("AltRight") || e.getModifierState("AltGraph");
    return bits({
      shift: e.shiftKey || latched.has("shift"),
      ctrl: e.ctrlKey,
      alt: e.altKey && !rightAlt,
      altgr: rightAlt || latched.has("altgr"),
      caps: e.getModifierState("CapsLock") || latched.has("caps"),
      num: e.getModifierState("NumLock"),
    });
  }

  function shownState() {
    const down = (...codes) => codes.some((code) => held.has(code));
    return bits({
      shift: down("ShiftLeft", "ShiftRight") || latched.has("shift"),
      ctrl: down("ControlLeft", "ControlRight"),
      alt: down("AltLeft"),
      altgr: down("AltRight") || latched.has("altgr"),
      caps: capsLock || latched.has("caps"),
      num: numLock,
    });
  }

  let shown = "";  // what the keys show now: redrawn only when it changes
  function render() {
    const state = shownState();
    const now = [state, ...latched, ...held].join(" ");
    if (now === shown) return;
    shown = now;
    for (const key of keyboard.querySelectorAll("button")) {
      const out = lookup(key.dataset.code, state);
      key.textContent = out && out[1] ? out[1] : key.dataset.name || "";
      key.classList.toggle("named", !(out && out[1]));
      key.classList.toggle("mark", Boolean(out && out[3]));
      key.classList.toggle("held", held.has(key.dataset.code));
      key.setAttribute("aria-label", out ? out[2] : key.dataset.name || key.dataset.code + ": nothing");
      if (key.dataset.latch) key.setAttribute("aria-pressed", String(latched.has(key.dataset.latch)));
    }
  }

  // The code points of the character before the caret: its letter and the
  // marks typed after it.
  function showCaret() {
    const end = text.selectionDirection === "backward" ? text.selectionStart : text.selectionEnd;
    const before = Array.from(text.value.slice(0, end));
    let start = before.length;
    while (start > 0 && /\p{M}/u.test(before[start - 1])) start--;
    const chars = before.slice(Math.max(0, start - 1));
    const hex = (c) => "U+" + c.codePointAt(0).toString(16).toUpperCase().padStart(4, "0");
    document.getElementById("cluster").textContent =
      (chars.length && /\p{M}/u.test(chars[0]) ? "\u25CC" : "") + chars.join("");
    document.getElementById("points").textContent = chars.length ? chars.map(hex).join(" ") : "none";
  }

  // At the caret, or over the selection, so that the browser's undo has it.
  function insert(typed) {
    text.focus();
    if (!document.execCommand("insertText", false, typed)) {
      text.setRangeText(typed, text.selectionStart, text.selectionEnd, "end");
      text.dispatchEvent(new Event("input", { bubbles: true }));
    }
    latched.delete("shift");
    latched.delete("altgr");
  }

  function track(e) {
    if (modifierCodes.includes(e.code)) e.type === "keydown" ? held.add(e.code) : held.delete(e.code);
    capsLock = e.getModifierState("CapsLock");
    numLock = e.getModifierState("NumLock");
    render();
  }
  addEventListener("keydown", track, true);
  addEventListener("keyup", track, true);
  addEventListener("blur", () => { held.clear(); render(); });

  text.addEventListener("keydown", (e) => {
    if (e.isComposing || e.metaKey) return;
    const out = lookup(e.code, eventState(e));
    if (!out) return;  // shortcuts, editing keys, control characters: the browser's
    e.preventDefault();
    insert(out[0]);
    render();
  });

  const actions = {
    delete: () => document.execCommand("delete"),
    newline: () => insert("\n"),
  };
  keyboard.addEventListener("mousedown", (e) => e.preventDefault());  // the caret stays in the text
  keyboard.addEventListener("click", (e) => {
    const key = e.target.closest("button");
    if (!key) return;
    const latch = key.dataset.latch;
    const out = lookup(key.dataset.code, shownState());
    text.focus();
    if (latch) latched.has(latch) ? latched.delete(latch) : latched.add(latch);
    else if (out) insert(out[0]);
    else if (actions[key.dataset.action]) actions[key.dataset.action]();
    render();
    showCaret();
  });

  const status = document.getElementById("status");
  document.getElementById("copy").addEventListener("click", async () => {
    try {
      await navigator.clipboard.writeText(text.value);
      status.textContent = "Copied.";
    } catch {
      text.select();
      status.textContent = document.execCommand("copy") ? "Copied." : "Select the text and copy it.";
    }
    text.focus();
  });

  for (const type of ["input", "keyup", "mouseup", "select", "focus"]) text.addEventListener(type, showCaret);
  document.addEventListener("selectionchange", showCaret);
  text.focus();
  render();
  showCaret();
})();
)js";

std::string Head(const std::string& title, const PageFonts& fonts) {
  std::string html =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
      // Everything is in the file: the browser is told to fetch nothing.
      "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
      "font-src data:; style-src 'unsafe-inline'; script-src 'unsafe-inline'\">\n"
      "<title>" +
      title + "</title>\n<style>\n";
  for (const auto* font : {&fonts.text, &fonts.fixed})
    if (*font) html += FontFace(**font);
  html += ":root { --text: " + FontStack(fonts.text, "serif") +
          "; --fixed: " + FontStack(fonts.fixed, "monospace") + "; }\n";
  return html + kStyle + "</style>\n</head>\n";
}

}  // namespace

std::string HtmlPage(const Layout& layout, std::string_view source, const PageFonts& fonts) {
  const TypingTable table = BuildTable(layout);
  const std::string name = Escape(pe::EncodeUtf8(DecodeForDocument(source)));
  const bool altgr = layout.locale_flags() & KLLF_ALTGR;
  std::string html = Head("Typing with " + name, fonts);
  html += "<body>\n<main>\n<h1>Typing with " + name + "</h1>\n";
  html += "<p class=\"intro\">Each key types what it types on Windows with " + name +
          ", whatever keyboard layout this computer has. Type a letter first, then its mark." +
          (altgr ? " AltGr is the right Alt key, or Ctrl+Alt." : "") + "</p>\n";
  html +=
      "<textarea id=\"text\" autofocus spellcheck=\"false\" autocomplete=\"off\" "
      "aria-label=\"Text\"></textarea>\n"
      "<div class=\"bar\">\n<p id=\"caret\">Before the caret: <span id=\"cluster\"></span> "
      "<span id=\"points\"></span></p>\n"
      "<span id=\"status\" role=\"status\"></span>\n"
      "<button type=\"button\" id=\"copy\">Copy</button>\n</div>\n";
  html += "<div id=\"keyboard\" role=\"group\" aria-label=\"On-screen keyboard\">\n" +
          Keyboard(layout, table) + "</div>\n";
  html += "<p class=\"note\">Made from the tables of " + name +
          ". On Windows, install the layout instead: it types the same in every program.</p>\n";
  html += "</main>\n<script>\n" + LayoutData(table) + kScript + "</script>\n</body>\n</html>\n";
  return html;
}

}  // namespace kbd
