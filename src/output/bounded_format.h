#pragma once
#include <cstdarg>
#include <cstddef>

namespace kolv {

// printf-style formatting into a fixed buffer: the text is cut to size - 1
// characters and always terminated. Returns the characters written, or -1
// when the text was cut or formatting failed.
int boundedFormat(char* buffer, std::size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
int boundedFormatV(char* buffer, std::size_t size, const char* format, std::va_list args)
    __attribute__((format(printf, 3, 0)));

// Copies text into a fixed buffer, cut to size - 1 characters.
void boundedCopy(char* buffer, std::size_t size, const char* text);

}  // namespace kolv
