#include "output/print_piped.h"

#include <cstring>

#include "platform/console.h"

namespace kolv {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool isColourCode(const char* text, std::size_t i, std::size_t length) {
    return text[i] == '|' && i + 2 < length && isDigit(text[i + 1]) && isDigit(text[i + 2]);
}

void printPiped(const char* text) {
    int foreground = 7;
    int background = 0;
    std::size_t length = std::strlen(text);
    std::size_t runStart = 0;
    std::size_t i = 0;
    // Plain characters are written in runs; each run reaches the console
    // before the attribute change that follows it.
    while (i < length) {
        if (isColourCode(text, i, length)) {
            if (i > runStart) consoleWrite(text + runStart, i - runStart);
            int value = (text[i + 1] - '0') * 10 + (text[i + 2] - '0');
            if (value <= 15) {
                foreground = value;
            } else if (value <= 23) {
                background = value - 16;
            }
            consoleSetAttribute(background * 16 + foreground);
            i += 3;
            runStart = i;
        } else {
            ++i;
        }
    }
    if (length > runStart) consoleWrite(text + runStart, length - runStart);
}

}  // namespace kolv
