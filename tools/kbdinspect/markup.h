// Text for the documents kbdinspect writes (the SVG chart, the typing
// page): what they can show, and markup escaped.
#pragma once

#include <string>
#include <string_view>

namespace kbd {

// Characters that can be drawn: not control characters, and nothing an XML
// document cannot hold (lone surrogates, U+FFFE, U+FFFF).
bool Drawable(char32_t c);

// Text that shows something: drawable characters, not only spaces.
bool Visible(std::u32string_view text);

// Text from the command line (a file name), made fit for a document:
// malformed UTF-8 becomes U+FFFD and control characters are dropped.
std::u32string DecodeForDocument(std::string_view utf8);

// A key name from the module, without what cannot be drawn and cut short
// where it would not fit on a key at a readable size.
std::string DrawableName(std::u32string_view text);

// UTF-8 text with & < > " ' escaped, for XML and HTML text and attributes.
std::string Escape(std::string_view text);

}  // namespace kbd
