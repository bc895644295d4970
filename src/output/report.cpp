#include "output/report.h"

#include <cstdarg>

#include "output/append_log.h"
#include "output/bounded_format.h"
#include "output/console_line.h"

namespace kolv {

void reportLine(const char* message, bool log) {
    printStampedLine(message);
    if (log) appendLog(message);
}

void reportBareLine(const char* message) {
    printBareLine(message);
    appendLog(message);
}

void reportFormatted(const char* format, ...) {
    char message[512];
    std::va_list args;
    va_start(args, format);
    boundedFormatV(message, sizeof message, format, args);
    va_end(args);
    reportLine(message);
}

}  // namespace kolv
