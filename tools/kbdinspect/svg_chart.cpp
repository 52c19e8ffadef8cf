// Drawing a layout as a keyboard chart. Every key is looked up the way the
// keyboard subsystem looks it up when the key is pressed: the scan code the
// key sends, the layout's scan-code map, the character tables.
#include "kbdinspect/svg_chart.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <map>
#include <optional>
#include <set>
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
// Geometry, in pixels.

constexpr double kUnit = 80;  // pitch of one key
constexpr double kGap = 6;    // space between two keys
constexpr double kKeyHeight = kUnit - kGap;
constexpr double kRadius = 7;
constexpr double kMargin = 32;
constexpr double kCasePad = 14;     // keyboard case around the keys
constexpr double kBlockUnits = 15;  // the main block is 15 keys wide
constexpr double kGlyphSize = 24;   // characters in the corners
constexpr double kLabelSize = 14;   // names of the keys without characters
constexpr double kPad = 10;         // corner characters from the key's edge
constexpr double kTopBaseline = kPad + 0.76 * kGlyphSize;
constexpr double kBottomBaseline = kKeyHeight - kPad - 0.22 * kGlyphSize;
constexpr double kWidth = 2 * kMargin + 2 * kCasePad + kBlockUnits * kUnit - kGap;

// ---------------------------------------------------------------------------
// What each key types.

enum Layer { kBase, kShift, kAltGr, kShiftAltGr, kLayers };
const char* const kLayerClass[kLayers] = {"base", "shift", "altgr", "shiftaltgr"};
const char* const kLayerName[kLayers] = {"Base", "Shift", "AltGr", "Shift+AltGr"};

struct Corner {
  std::u32string typed;  // the code points the key types in this layer
  std::u32string shown;  // as drawn: a leading mark sits on a dotted circle
  bool dead = false;
  bool marks = false;  // holds a combining mark
};

struct KeyView {
  Slot slot;
  int row = 0;
  double x = 0;  // in key widths from the left of the block
  std::optional<uint8_t> vk;
  uint8_t attributes = 0;
  std::array<std::optional<Corner>, kLayers> corners;
  std::string name;     // shown on keys without characters
  std::string caption;  // how the legend refers to the key

  bool HasCharacters() const {
    return std::any_of(corners.begin(), corners.end(), [](const auto& c) { return c.has_value(); });
  }
  bool HasMarks() const {
    return std::any_of(corners.begin(), corners.end(), [](const auto& c) { return c && c->marks; });
  }
};

// The masks of the four layers, through the layout's own modifier keys.
// AltGr is right Alt with left Ctrl: the system adds the Ctrl itself on
// layouts with KLLF_ALTGR, and on others Ctrl+Alt is how AltGr is typed.
std::array<uint16_t, kLayers> LayerMasks(const Layout& layout) {
  return {ModifierMask(layout, {}), ModifierMask(layout, {VK_LSHIFT}),
          ModifierMask(layout, {VK_LCONTROL, VK_RMENU}),
          ModifierMask(layout, {VK_LSHIFT, VK_LCONTROL, VK_RMENU})};
}

std::optional<Corner> CornerFor(const Layout& layout, uint8_t vk, uint16_t mask) {
  const Translation t = TranslateVk(layout, vk, mask, false);
  if (t.outcome == Outcome::kNothing) return std::nullopt;
  Corner corner;
  corner.typed = pe::DecodeUtf16(t.units);
  corner.dead = t.outcome == Outcome::kDead;
  if (!Visible(corner.typed)) return std::nullopt;
  if (IsCombiningMark(corner.typed[0])) corner.shown = kDottedCircle;
  corner.shown += corner.typed;
  corner.marks = std::any_of(corner.typed.begin(), corner.typed.end(), IsCombiningMark);
  return corner;
}

std::string ScanText(const ScanCode& scan, const char* separator) {
  char text[16];
  std::snprintf(text, sizeof text, "%s%02X", scan.prefix == Prefix::kE0 ? "E0" : "", scan.code);
  std::string s = text;
  if (scan.prefix == Prefix::kE0) s.insert(2, separator);
  return s;
}

// How the legend refers to a key: letters and digits by their own names,
// other keys by a plain character they type, preferring Base and AltGr,
// which on most layouts hold what the key is engraved with.
std::string Caption(const KeyView& key) {
  if (key.vk && ((*key.vk >= '0' && *key.vk <= '9') || (*key.vk >= 'A' && *key.vk <= 'Z')))
    return std::string(1, char(*key.vk));
  for (Layer layer : {kBase, kAltGr, kShift, kShiftAltGr}) {
    const auto& corner = key.corners[layer];
    if (corner && corner->typed.size() == 1 && !corner->marks && !corner->dead)
      return pe::EncodeUtf8(corner->typed);
  }
  return key.name.empty() ? "key " + ScanText(key.slot.scan, " ") : key.name;
}

// Two keys with the same caption (a backslash on both ISO extra keys, say)
// are told apart by a neighbour.
void DisambiguateCaptions(std::vector<KeyView>& keys) {
  std::map<std::string, int> uses;
  for (const KeyView& key : keys)
    if (key.slot.drawn && key.HasCharacters()) ++uses[key.caption];
  std::vector<std::string> captions;
  for (size_t i = 0; i < keys.size(); ++i) {
    std::string caption = keys[i].caption;
    if (uses[caption] > 1) {
      const bool right = i + 1 < keys.size() && keys[i + 1].row == keys[i].row;
      const bool left = i > 0 && keys[i - 1].row == keys[i].row;
      if (right)
        caption += " (left of " + keys[i + 1].caption + ")";
      else if (left)
        caption += " (right of " + keys[i - 1].caption + ")";
    }
    captions.push_back(caption);
  }
  for (size_t i = 0; i < keys.size(); ++i) keys[i].caption = captions[i];
}

std::vector<KeyView> ViewKeys(const Layout& layout) {
  const auto masks = LayerMasks(layout);
  std::vector<KeyView> keys;
  const auto rows = MainBlock();
  for (size_t r = 0; r < rows.size(); ++r) {
    double x = 0;
    for (const Slot& slot : rows[r]) {
      KeyView key;
      key.slot = slot;
      key.row = int(r);
      key.x = slot.drawn ? x : kBlockUnits - slot.width;
      x += slot.width;
      key.vk = ScanCodeToVk(layout, slot.scan);
      if (key.vk) {
        if (const CharRow* row = layout.FindRow(*key.vk)) key.attributes = row->attributes;
        for (int layer = 0; layer < kLayers; ++layer)
          key.corners[layer] = CornerFor(layout, *key.vk, masks[layer]);
      }
      key.name = KeyLabel(layout, slot.scan, key.vk);
      key.caption = Caption(key);
      keys.push_back(std::move(key));
    }
  }
  DisambiguateCaptions(keys);
  return keys;
}

// Each combining mark the layout types, with the strokes that type it.
std::map<char32_t, std::vector<std::string>> MarkStrokes(const std::vector<KeyView>& keys) {
  std::map<char32_t, std::vector<std::string>> strokes;
  for (const KeyView& key : keys) {
    if (!key.slot.drawn) continue;
    for (int layer = 0; layer < kLayers; ++layer) {
      const auto& corner = key.corners[layer];
      if (!corner) continue;
      const std::string stroke = layer == kBase
                                     ? key.caption + " key"
                                     : std::string(kLayerName[layer]) + " + " + key.caption;
      for (char32_t c : corner->typed) {
        if (!IsCombiningMark(c)) continue;
        auto& list = strokes[c];
        if (std::find(list.begin(), list.end(), stroke) == list.end()) list.push_back(stroke);
      }
    }
  }
  return strokes;
}

// ---------------------------------------------------------------------------
// Writing the document.

std::string Num(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  std::string s = text;
  if (s.size() > 2 && s.compare(s.size() - 2, 2, ".0") == 0) s.resize(s.size() - 2);
  return s == "-0" ? "0" : s;
}

// The code points of a corner's text as its data-cp attribute holds them: "0061 0301".
std::string DataCp(const std::u32string& text) {
  std::string out;
  for (char32_t c : text) out += (out.empty() ? "" : " ") + CodePointLabel(c).substr(2);
  return out;
}

// A font size at which `text` fits `width` pixels, at most `size`; marks
// take no width of their own.
double FittingSize(const std::u32string& text, double width, double size) {
  const auto wide =
      std::count_if(text.begin(), text.end(), [](char32_t c) { return !IsCombiningMark(c); });
  if (wide == 0) return size;
  return std::max(7.0, std::min(size, width / (0.62 * double(wide))));
}

const char kStyle[] = R"(<style>
.background { fill: #f5f6f8; }
.case { fill: #cfd5dd; }
.title { font-size: 26px; font-weight: bold; fill: #1b1f24; }
.subtitle { font-size: 14px; fill: #4a525d; }
.shadow { fill: #98a0ab; }
.face { fill: #ffffff; stroke: #7b8491; stroke-width: 1; }
.marks .face { fill: #ffd88a; stroke: #b07d16; }
.named .face { fill: #e1e5ea; }
.unmapped .face { fill: #eceff2; stroke-dasharray: 4 3; }
.base, .shift { font-size: 24px; fill: #15191e; }
.altgr, .shiftaltgr { font-size: 24px; fill: #1a5cc2; }
text.mark { fill: #b3261e; }
text.dead { fill: #7b3fb6; }
.name { font-size: 14px; fill: #353b43; }
.lock rect { fill: #56606c; }
.lock path { fill: none; stroke: #56606c; stroke-width: 1.6; }
.lock.altgr-lock rect { fill: #1a5cc2; }
.lock.altgr-lock path { stroke: #1a5cc2; }
.heading { font-size: 17px; font-weight: bold; fill: #1b1f24; }
.legend { font-size: 15px; fill: #2b3037; }
.caption { font-size: 14px; }
.strokes { font-size: 14px; fill: #4a525d; }
.mark-glyph { font-size: 30px; fill: #b3261e; }
.footer { font-size: 12px; fill: #6a727d; }
</style>
)";

class Writer {
 public:
  void Line(const std::string& text) { out_ += text + "\n"; }
  std::string& out() { return out_; }

  void Text(double x, double y, const std::string& cls, const std::string& utf8,
            const std::string& extra = "") {
    out_ += "<text class=\"" + cls + "\" x=\"" + Num(x) + "\" y=\"" + Num(y) + "\"" + extra + ">" +
            Escape(utf8) + "</text>\n";
  }

  // A small padlock centred on (cx, cy).
  void Lock(double cx, double cy, const std::string& cls) {
    Line("<g class=\"" + cls + "\">");
    Line("<path d=\"M" + Num(cx - 3) + " " + Num(cy - 0.5) + "v-2.5a3 3 0 0 1 6 0v2.5\"/>");
    Line("<rect x=\"" + Num(cx - 4.6) + "\" y=\"" + Num(cy - 0.5) +
         "\" width=\"9.2\" height=\"6.8\" rx=\"1.2\"/>");
    Line("</g>");
  }

 private:
  std::string out_;
};

std::string RectFace(double width, double height, const char* cls, double dy = 0) {
  return "<rect class=\"" + std::string(cls) + "\" y=\"" + Num(dy) + "\" width=\"" + Num(width) +
         "\" height=\"" + Num(height) + "\" rx=\"" + Num(kRadius) + "\"/>";
}

// The outline of ISO Enter: a wide top in the Tab row over a narrower
// bottom in the Caps Lock row, both flush right.
std::string EnterPath(const char* cls, double dy) {
  const double top = 1.5 * kUnit - kGap, bottom = 1.25 * kUnit - kGap;
  const double inset = top - bottom, height = 2 * kUnit - kGap, r = kRadius;
  std::string d = "M" + Num(r) + " 0H" + Num(top - r) + "A" + Num(r) + " " + Num(r) + " 0 0 1 " +
                  Num(top) + " " + Num(r) + "V" + Num(height - r) + "A" + Num(r) + " " + Num(r) +
                  " 0 0 1 " + Num(top - r) + " " + Num(height) + "H" + Num(inset + r) + "A" +
                  Num(r) + " " + Num(r) + " 0 0 1 " + Num(inset) + " " + Num(height - r) + "V" +
                  Num(kKeyHeight) + "H" + Num(r) + "A" + Num(r) + " " + Num(r) + " 0 0 1 0 " +
                  Num(kKeyHeight - r) + "V" + Num(r) + "A" + Num(r) + " " + Num(r) + " 0 0 1 " +
                  Num(r) + " 0Z";
  return "<path class=\"" + std::string(cls) + "\" transform=\"translate(0 " + Num(dy) +
         ")\" d=\"" + d + "\"/>";
}

void DrawCorners(Writer& w, const KeyView& key, double width) {
  const double x[kLayers] = {kPad, kPad, width - kPad, width - kPad};
  const double y[kLayers] = {kBottomBaseline, kTopBaseline, kBottomBaseline, kTopBaseline};
  for (int layer = 0; layer < kLayers; ++layer) {
    const auto& corner = key.corners[layer];
    if (!corner) continue;
    std::string cls = kLayerClass[layer];
    if (corner->marks) cls += " mark";
    if (corner->dead) cls += " dead";
    std::string extra = " data-cp=\"" + DataCp(corner->typed) + "\"";
    if (layer == kAltGr || layer == kShiftAltGr) extra += " text-anchor=\"end\"";
    // Longer texts (ligatures) shrink to keep to their half of the key.
    const double size = FittingSize(corner->shown, width / 2 - kPad, kGlyphSize);
    if (size < kGlyphSize) extra += " style=\"font-size:" + Num(size) + "px\"";
    w.Text(x[layer], y[layer], cls, pe::EncodeUtf8(corner->shown), extra);
  }
  // Caps Lock: a lock below the middle of the key, clear of the corners;
  // blue for the AltGr layers.
  const double lock_y = kBottomBaseline + 4.5;
  const bool base_lock = key.attributes & CAPLOK, altgr_lock = key.attributes & CAPLOKALTGR;
  if (base_lock) w.Lock(width / 2 - (altgr_lock ? 6 : 0), lock_y, "lock");
  if (altgr_lock) w.Lock(width / 2 + (base_lock ? 6 : 0), lock_y, "lock altgr-lock");
}

// A key's name in the middle of the key; a name too long for one line at a
// readable size is broken at the space nearest its middle.
void DrawName(Writer& w, const std::string& name, double width) {
  const double room = width - 12;
  const double size = FittingSize(DecodeForDocument(name), room, kLabelSize);
  size_t split = std::string::npos;
  for (size_t at = name.find(' '); at != std::string::npos; at = name.find(' ', at + 1))
    if (split == std::string::npos || std::abs(double(at) - double(name.size()) / 2) <
                                          std::abs(double(split) - double(name.size()) / 2))
      split = at;
  if (size >= 0.85 * kLabelSize || split == std::string::npos) {
    std::string extra = " text-anchor=\"middle\"";
    if (size < kLabelSize) extra += " style=\"font-size:" + Num(size) + "px\"";
    w.Text(width / 2, kKeyHeight / 2 + 0.35 * size, "name", name, extra);
    return;
  }
  // The space ends the first line, so that the text still reads as the name.
  const std::string first = name.substr(0, split + 1), second = name.substr(split + 1);
  const double line_size = std::min(FittingSize(DecodeForDocument(first), room, kLabelSize),
                                    FittingSize(DecodeForDocument(second), room, kLabelSize));
  const double x = width / 2, y = kKeyHeight / 2 - 0.2 * line_size;
  w.Line("<text class=\"name\" x=\"" + Num(x) + "\" y=\"" + Num(y) + "\" text-anchor=\"middle\"" +
         (line_size < kLabelSize ? " style=\"font-size:" + Num(line_size) + "px\"" : "") +
         "><tspan x=\"" + Num(x) + "\">" + Escape(first) + "</tspan><tspan x=\"" + Num(x) +
         "\" dy=\"" + Num(1.15 * line_size) + "\">" + Escape(second) + "</tspan></text>");
}

void DrawKey(Writer& w, const KeyView& key, double left, double top) {
  const bool enter = key.slot.scan.prefix == Prefix::kNone && key.slot.scan.code == kEnterScan;
  const double width = key.slot.width * kUnit - kGap;
  std::string cls = "key";
  if (!key.vk)
    cls += " unmapped";
  else if (key.HasCharacters())
    cls += " char";
  else
    cls += " named";
  if (key.HasMarks()) cls += " marks";
  if (key.attributes & CAPLOK) cls += " caplok";
  if (key.attributes & CAPLOKALTGR) cls += " caplokaltgr";

  std::string head = "<g class=\"" + cls + "\" id=\"key-" + ScanText(key.slot.scan, "-") +
                     "\" data-scan=\"" + ScanText(key.slot.scan, " ") + "\"";
  if (key.vk) {
    char vk[8];
    std::snprintf(vk, sizeof vk, "%02X", *key.vk);
    head += std::string(" data-vk=\"") + vk + "\"";
  }
  w.Line(head + " transform=\"translate(" + Num(left) + " " + Num(top) + ")\">");
  if (enter) {
    w.Line(EnterPath("shadow", 2));
    w.Line(EnterPath("face", 0));
  } else {
    w.Line(RectFace(width, kKeyHeight, "shadow", 2));
    w.Line(RectFace(width, kKeyHeight, "face"));
  }
  if (key.HasCharacters()) {
    DrawCorners(w, key, width);
  } else if (!key.name.empty()) {
    DrawName(w, key.name, width);
  }
  w.Line("</g>");
}

struct LegendItem {
  std::string swatch;  // "char", "marks", "named", "lock", "altgr-lock", "circle", "dead"
  std::string text;
};

// The legend's first band: a key showing where each layer is, and what the
// colours and symbols mean. Returns the band's height.
double DrawKeyGuide(Writer& w, const std::vector<KeyView>& keys, double top) {
  const double key_w = 2.2 * kUnit - kGap, key_h = 1.7 * kUnit - kGap;
  w.Line("<g class=\"guide\" transform=\"translate(" + Num(kMargin) + " " + Num(top) + ")\">");
  w.Line(RectFace(key_w, key_h, "shadow", 2));
  w.Line(RectFace(key_w, key_h, "face"));
  const double top_line = kPad + 14, bottom_line = key_h - kPad - 4;
  w.Text(kPad, top_line, "caption shift", "Shift");
  w.Text(key_w - kPad, top_line, "caption shiftaltgr", "Shift+AltGr", " text-anchor=\"end\"");
  w.Text(kPad, bottom_line, "caption base", "Base");
  w.Text(key_w - kPad, bottom_line, "caption altgr", "AltGr", " text-anchor=\"end\"");
  w.Line("</g>");

  auto any = [&](auto predicate) { return std::any_of(keys.begin(), keys.end(), predicate); };
  std::vector<LegendItem> items = {
      {"char",
       "character key: Shift and Base on the left, Shift+AltGr and AltGr in blue on the right; "
       "an empty corner types nothing"}};
  const bool marks = any([](const KeyView& k) { return k.slot.drawn && k.HasMarks(); });
  if (marks) items.push_back({"marks", "types a combining mark (red; the marks are listed below)"});
  items.push_back({"named", "modifier, control or function key"});
  if (any([](const KeyView& k) { return k.slot.drawn && (k.attributes & CAPLOK); }))
    items.push_back({"lock", "Caps Lock acts as Shift on the key's Base and Shift characters"});
  if (any([](const KeyView& k) { return k.slot.drawn && (k.attributes & CAPLOKALTGR); }))
    items.push_back({"altgr-lock", "Caps Lock acts as Shift on the key's AltGr characters"});
  if (marks)
    items.push_back({"circle", "the dotted circle stands for the letter: type the mark after it"});
  if (any([](const KeyView& k) {
        return k.slot.drawn && std::any_of(k.corners.begin(), k.corners.end(),
                                           [](const auto& c) { return c && c->dead; });
      }))
    items.push_back({"dead", "dead key (purple): the character waits for the next key"});

  const double x = kMargin + key_w + 32, line = 30;
  for (size_t i = 0; i < items.size(); ++i) {
    const double y = top + 4 + line * double(i);
    const std::string& s = items[i].swatch;
    if (s == "lock" || s == "altgr-lock") {
      w.Lock(x + 11, y + 9, s == "lock" ? "lock" : "lock altgr-lock");
    } else if (s == "circle") {
      w.Text(x + 11, y + 19, "legend mark", pe::EncodeUtf8(std::u32string{kDottedCircle}),
             " text-anchor=\"middle\" style=\"font-size:22px\"");
    } else if (s == "dead") {
      w.Text(x + 11, y + 18, "legend dead", "\xC2\xB4",
             " text-anchor=\"middle\"");  // an acute accent as sample
    } else {
      w.Line("<g class=\"" + s + "\" transform=\"translate(" + Num(x) + " " + Num(y) + ")\">");
      w.Line("<rect class=\"face\" width=\"22\" height=\"22\" rx=\"4\"/>");
      w.Line("</g>");
    }
    w.Text(x + 34, y + 16, "legend", items[i].text);
  }
  return std::max(key_h + 2, line * double(items.size()));
}

// The legend's second band: each combining mark, its name and its strokes.
double DrawMarkList(Writer& w, const std::vector<KeyView>& keys, double top) {
  const auto strokes = MarkStrokes(keys);
  if (strokes.empty()) {
    w.Text(kMargin, top + 18, "heading", "This layout types no combining marks.");
    return 24;
  }
  w.Text(kMargin, top + 18, "heading", "Combining marks: type the letter first, then the mark");
  const double column_w = (kWidth - 2 * kMargin) / 2, entry_h = 54, first = top + 34;
  size_t i = 0;
  for (const auto& [mark, list] : strokes) {
    const double x = kMargin + column_w * double(i % 2), y = first + entry_h * double(i / 2);
    const std::string cp = CodePointLabel(mark).substr(2);
    w.Line("<g class=\"mark-entry\" data-cp=\"" + cp + "\">");
    w.Text(x + 4, y + 34, "mark-glyph", pe::EncodeUtf8(std::u32string{kDottedCircle, mark}));
    const std::string_view name = CombiningMarkName(mark);
    w.Text(x + 60, y + 20, "legend",
           CodePointLabel(mark) + (name.empty() ? "" : "  " + pe::Lower(name)));
    std::string typed;
    for (const std::string& stroke : list) typed += (typed.empty() ? "" : "  or  ") + stroke;
    w.Text(x + 60, y + 42, "strokes", typed);
    w.Line("</g>");
    ++i;
  }
  return 34 + entry_h * double((strokes.size() + 1) / 2);
}

}  // namespace

std::string SvgChart(const Layout& layout, std::string_view source) {
  const std::vector<KeyView> keys = ViewKeys(layout);
  const std::string name = pe::EncodeUtf8(DecodeForDocument(source));
  const std::string title = "Keyboard chart of " + name;

  Writer body;
  const double case_top = kMargin + 62;
  const double origin_x = kMargin + kCasePad, origin_y = case_top + kCasePad;
  const double case_h = 5 * kUnit - kGap + 2 * kCasePad;
  body.Line("<rect class=\"case\" x=\"" + Num(kMargin) + "\" y=\"" + Num(case_top) + "\" width=\"" +
            Num(kWidth - 2 * kMargin) + "\" height=\"" + Num(case_h) + "\" rx=\"14\"/>");
  body.Line("<g id=\"keyboard\">");
  for (const KeyView& key : keys)
    if (key.slot.drawn) DrawKey(body, key, origin_x + key.x * kUnit, origin_y + key.row * kUnit);
  body.Line("</g>");

  double y = case_top + case_h + 30;
  body.Line("<g id=\"legend\">");
  y += DrawKeyGuide(body, keys, y) + 26;
  y += DrawMarkList(body, keys, y) + 18;
  body.Text(kMargin, y, "footer",
            "Drawn from " + name +
                ": each key's scan code through the layout's scan-code map to a virtual "
                "key, and through its character tables to the characters shown.");
  body.Line("</g>");
  const double height = y + kMargin - 8;

  Writer doc;
  doc.Line("<?xml version=\"1.0\" encoding=\"UTF-8\"?>");
  doc.Line("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Num(kWidth) + "\" height=\"" +
           Num(height) + "\" viewBox=\"0 0 " + Num(kWidth) + " " + Num(height) +
           "\" font-family=\"'DejaVu Sans', 'Noto Sans', 'Segoe UI', sans-serif\">");
  doc.Line("<title>" + Escape(title) + "</title>");
  doc.out() += kStyle;
  doc.Line("<rect class=\"background\" width=\"100%\" height=\"100%\"/>");
  doc.Text(kMargin, kMargin + 20, "title", title);
  doc.Text(
      kMargin, kMargin + 46, "subtitle",
      "ISO 102-key main block. Each key shows what it types with no modifier (Base), Shift, AltGr "
      "and Shift+AltGr.");
  doc.out() += body.out();
  doc.Line("</svg>");
  return doc.out();
}

}  // namespace kbd
