#include "output/bounded_format.h"

#include <cstdio>
#include <cstring>

namespace kolv {

int boundedFormatV(char* buffer, std::size_t size, const char* format, std::va_list args) {
    if (size == 0) return -1;
    int n = std::vsnprintf(buffer, size, format, args);
    if (n < 0) {
        buffer[0] = '\0';
        return -1;
    }
    if (static_cast<std::size_t>(n) >= size) return -1;
    return n;
}

int boundedFormat(char* buffer, std::size_t size, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    int n = boundedFormatV(buffer, size, format, args);
    va_end(args);
    return n;
}

void boundedCopy(char* buffer, std::size_t size, const char* text) {
    if (size == 0) return;
    std::size_t n = ::strnlen(text, size - 1);
    std::memcpy(buffer, text, n);
    buffer[n] = '\0';
}

}  // namespace kolv
