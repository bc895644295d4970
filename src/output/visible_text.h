#pragma once
// Text that came from the network, made safe to show: on a terminal (the
// console, or a log that someone follows with tail) control bytes would
// move the cursor, retitle the window or forge lines.
#include <cstddef>
#include <string>
#include <string_view>

namespace kolv {

enum class LineEnds {
    Keep,  // "\n", and a "\r" just before it, pass as they are (the console)
    Drop,  // every "\r" and "\n" is left out (a log line)
};

// text with each C0 control other than tab (and the kept line ends), DEL and
// each C1 control written as backslash, "x" and two lower-case hex digits per
// byte ("\x1b"). A well-formed UTF-8 sequence passes whole unless it encodes
// U+0080..U+009F; a byte 0x80..0x9F outside such a sequence is escaped. At
// most limit characters, cut only between whole escapes and sequences.
std::string visibleText(std::string_view text, LineEnds ends, std::size_t limit = std::string::npos);

}  // namespace kolv
