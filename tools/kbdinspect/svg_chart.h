// A picture of a layout as an SVG document: the main block of an ISO
// 102-key keyboard, each key placed by the scan code it sends, resolved
// through the layout's own scan-code map and character tables.
#pragma once

#include <string>
#include <string_view>

#include "kbdinspect/layout.h"

namespace kbd {

// Each key shows the characters of Base (bottom left), Shift (top left),
// AltGr (bottom right) and Shift+AltGr (top right); a corner is empty when
// that layer types nothing visible. Combining marks sit on a dotted circle,
// the keys that type them are tinted and the marks are listed by name, and
// keys with CAPLOK carry a lock.
//
// Each key is a <g class="key ..." data-scan="1E" data-vk="41"> (data-scan
// "E0 38" for keys sent with the E0 prefix), each corner a <text> of class
// base, shift, altgr or shiftaltgr with data-cp holding the code points the
// key types ("0301"); each listed mark is a <g class="mark-entry" data-cp>.
// `source` names the file in the title.
std::string SvgChart(const Layout& layout, std::string_view source);

}  // namespace kbd
