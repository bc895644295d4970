#include "output/visible_text.h"

namespace kolv {
namespace {

unsigned char byteAt(std::string_view text, std::size_t i) { return static_cast<unsigned char>(text[i]); }

// Length of the well-formed UTF-8 multi-byte sequence at text[i], or 0.
std::size_t utf8Length(std::string_view text, std::size_t i) {
    const unsigned char lead = byteAt(text, i);
    const std::size_t length = lead < 0xC2 ? 0 : lead <= 0xDF ? 2 : lead <= 0xEF ? 3 : lead <= 0xF4 ? 4 : 0;
    if (length == 0 || i + length > text.size()) return 0;
    // After E0, ED, F0 and F4 the second byte's range narrows: no overlong
    // forms, no surrogates, nothing past U+10FFFF.
    const unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    const unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    if (byteAt(text, i + 1) < low || byteAt(text, i + 1) > high) return 0;
    for (std::size_t k = i + 2; k < i + length; ++k) {
        if (byteAt(text, k) < 0x80 || byteAt(text, k) > 0xBF) return 0;
    }
    return length;
}

void appendEscaped(std::string& out, std::string_view bytes) {
    static const char* const kHex = "0123456789abcdef";
    for (char b : bytes) {
        const auto c = static_cast<unsigned char>(b);
        out += "\\x";
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
}

// Shows the character at text[i] in piece; returns how many bytes it took.
std::size_t showOne(std::string_view text, std::size_t i, LineEnds ends, std::string& piece) {
    const unsigned char c = byteAt(text, i);
    if (ends == LineEnds::Drop && (c == '\r' || c == '\n')) return 1;
    const bool lineEnd = c == '\n' || (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n');
    const std::size_t sequence = utf8Length(text, i);
    const std::size_t taken = sequence > 0 ? sequence : 1;
    const bool c1 = sequence > 0 ? c == 0xC2 && byteAt(text, i + 1) <= 0x9F : c >= 0x80 && c <= 0x9F;
    const bool control = c1 || (c < 0x20 && c != '\t' && !lineEnd) || c == 0x7F;
    if (control) {
        appendEscaped(piece, text.substr(i, taken));
    } else {
        piece.assign(text.substr(i, taken));
    }
    return taken;
}

}  // namespace

std::string visibleText(std::string_view text, LineEnds ends, std::size_t limit) {
    std::string shown;
    std::string piece;
    for (std::size_t i = 0; i < text.size();) {
        piece.clear();
        i += showOne(text, i, ends, piece);
        if (shown.size() + piece.size() > limit) break;
        shown += piece;
    }
    return shown;
}

}  // namespace kolv
