// The key-stroke syntax of `kbdinspect type` and of TypeText: strokes as a
// person writes them, e.g. "a quote shift+9 altgr+sc:1e".
#pragma once

#include <string_view>
#include <vector>

#include "kbdinspect/translate.h"

namespace kbd {

// Parses whitespace-separated strokes such as "a quote shift+9 altgr+sc:1e
// capslock e0:1c vk:41". See StrokeSyntaxHelp().
Expected<std::vector<Stroke>> ParseStrokes(std::string_view text);
const char* StrokeSyntaxHelp();

}  // namespace kbd
