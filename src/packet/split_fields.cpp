#include "packet/split_fields.h"

#include <algorithm>

namespace kolv {

std::vector<std::string> splitFields(std::string_view text, char separator) {
    std::vector<std::string> pieces;
    pieces.reserve(countChar(text, separator) + 1);
    std::size_t start = 0;
    for (;;) {
        std::size_t end = text.find(separator, start);
        if (end == std::string_view::npos) {
            pieces.emplace_back(text.substr(start));
            return pieces;
        }
        pieces.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
}

std::size_t countChar(std::string_view text, char c) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), c));
}

}  // namespace kolv
