// Names from a disk as a person may safely see them, in a terminal or a window.
#pragma once

#include <string>
#include <string_view>

namespace sovanta {

// The text with everything that would hide or disguise what it says made
// visible as an escape: control characters (C0, DEL, C1: a line feed "\\n",
// ESC "\\x1b", U+009B "\\u009b"), the line and paragraph separators
// U+2028 and U+2029, bidirectional controls (U+202E, which
// makes "harmless<U+202E>gpj.exe" read as "harmlessexe.jpg", is "\\u202e")
// and bytes that are no UTF-8 ("\\xff"). Everything else is kept as it is.
std::string visibleText(std::string_view text);

}  // namespace sovanta
