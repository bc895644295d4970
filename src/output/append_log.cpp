#include "output/append_log.h"

#include <cstdio>
#include <mutex>

#include "output/bounded_format.h"

namespace kolv {
namespace {

std::mutex& logMutex() {
    static auto* mutex = new std::mutex();  // never destroyed: used by detached threads
    return *mutex;
}

}  // namespace

void cleanLogMessage(const char* message, char* out, std::size_t size) {
    if (size == 0) return;
    std::size_t n = 0;
    for (const char* p = message; *p != '\0' && n + 1 < size; ++p) {
        if (*p == '\r' || *p == '\n') continue;
        out[n++] = *p;
    }
    out[n] = '\0';
}

void appendLog(const char* message) {
    LocalTime t = localTimeNow();
    char stamp[32];
    boundedFormat(stamp, sizeof stamp, "%d/%02d/%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
    char cleaned[512];
    cleanLogMessage(message, cleaned, sizeof cleaned);

    // One locked, unbuffered-to-the-file write per line: threads of this
    // process never interleave, and append mode keeps other writers whole.
    std::lock_guard<std::mutex> lock(logMutex());
    std::FILE* file = std::fopen(kLogFileName, "a");
    if (file == nullptr) return;
    std::fprintf(file, "[%s] source=%s %s\n", stamp, "kolv-bridge", cleaned);
    std::fclose(file);
}

}  // namespace kolv
