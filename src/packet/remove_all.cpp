#include "packet/remove_all.h"

#include <cstring>

namespace kolv {

std::string removeAll(const char* text, const char* pattern) {
    std::string result;
    std::size_t length = std::strlen(text);
    std::size_t patternLength = std::strlen(pattern);
    result.reserve(length < kRemoveAllLimit ? length : kRemoveAllLimit);
    std::size_t i = 0;
    while (i < length && result.size() < kRemoveAllLimit) {
        if (patternLength > 0 && std::strncmp(text + i, pattern, patternLength) == 0) {
            i += patternLength;
        } else {
            result.push_back(text[i]);
            ++i;
        }
    }
    return result;
}

}  // namespace kolv
