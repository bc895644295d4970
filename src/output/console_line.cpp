#include "output/console_line.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "output/console_lock.h"
#include "output/print_piped.h"
#include "output/stamp_prefix.h"
#include "platform/console.h"

namespace kolv {
namespace {

void writeText(const char* text) { consoleWrite(text, std::strlen(text)); }

__attribute__((format(printf, 1, 0))) void writeFormatted(const char* format, std::va_list args) {
    char small[512];
    std::va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) return;
    if (static_cast<std::size_t>(n) < sizeof small) {
        consoleWrite(small, static_cast<std::size_t>(n));
        return;
    }
    std::string big(static_cast<std::size_t>(n) + 1, '\0');
    std::vsnprintf(big.data(), big.size(), format, args);
    consoleWrite(big.data(), static_cast<std::size_t>(n));
}

}  // namespace

void consoleLine(const char* message) {
    std::lock_guard<std::recursive_mutex> lock(consoleMutex());
    stampPrefix();
    writeText(message);
    consoleWrite("\n", 1);
}

void plainLine(const char* message) {
    std::lock_guard<std::recursive_mutex> lock(consoleMutex());
    writeText(message);
    consoleWrite("\n", 1);
}

void openText(const char* format, ...) {
    std::lock_guard<std::recursive_mutex> lock(consoleMutex());
    stampPrefix();
    std::va_list args;
    va_start(args, format);
    writeFormatted(format, args);
    va_end(args);
}

void consoleRaw(const char* format, ...) {
    std::lock_guard<std::recursive_mutex> lock(consoleMutex());
    std::va_list args;
    va_start(args, format);
    writeFormatted(format, args);
    va_end(args);
}

void printOk() { printPiped("|10OK|07\r\n"); }

}  // namespace kolv
