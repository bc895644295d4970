#include "output/report.h"

#include <cstdarg>
#include <system_error>

#include "output/append_log.h"
#include "output/bounded_format.h"
#include "output/console_line.h"
#include "platform/system.h"

namespace kolv {

void reportLine(const char* message, bool log) {
    printStampedLine(message);
    if (log) appendLog(message);
}

void reportBareLine(const char* message) {
    printBareLine(message);
    appendLog(message);
}

void reportUnwritable(const char* fileName, int error, const char* consequence, bool log) {
    char message[512];
    boundedFormat(message, sizeof message, "Cannot write %s in %s: %s. %s", fileName, workingFolder().c_str(),
                  std::generic_category().message(error).c_str(), consequence);
    reportLine(message, log);
}

namespace {

__attribute__((format(printf, 2, 0))) void reportFormattedV(bool stamped, const char* format, std::va_list args) {
    char message[512];
    boundedFormatV(message, sizeof message, format, args);
    if (stamped) {
        reportLine(message);
    } else {
        reportBareLine(message);
    }
}

}  // namespace

void reportFormatted(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    reportFormattedV(true, format, args);
    va_end(args);
}

void reportBareFormatted(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    reportFormattedV(false, format, args);
    va_end(args);
}

}  // namespace kolv
