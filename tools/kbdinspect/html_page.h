// The typing page: one self-contained HTML file in which anyone with a
// browser types with a layout, on their own keyboard or on the page's.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "kbdinspect/font_file.h"
#include "kbdinspect/layout.h"

namespace kbd {

// The fonts the page embeds: `text` for the text and the keys, `fixed`
// for the code points. Either may be missing; the browser's serif and
// monospace fonts stand in.
struct PageFonts {
  std::optional<FontFile> text;
  std::optional<FontFile> fixed;
};

// The page holds what each key types in each state, worked out here by
// TypeStroke, as `kbdinspect type` types it: every modifier key held or not
// (Shift, Ctrl, left Alt, right Alt), Caps Lock and Num Lock on or off. Its
// script only looks a key event's code and state up in that table. A key
// is a KeyboardEvent.code, sent as its set-1 scan code through the layout's
// own scan-code map; text with control characters is left out, so that the
// browser keeps those keys. `source` names the module in the title.
//
// The on-screen keyboard is the ISO main block: each key a
// <button data-code="..."> showing what it types in the state shown; Shift,
// AltGr and Caps Lock are latches (data-latch, aria-pressed).
std::string HtmlPage(const Layout& layout, std::string_view source, const PageFonts& fonts);

}  // namespace kbd
