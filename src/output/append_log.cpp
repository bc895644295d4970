#include "output/append_log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "output/bounded_format.h"
#include "output/visible_text.h"
#include "platform/mutex.h"

namespace kolv {
namespace {

Mutex& logMutex() {
    static auto* mutex = new Mutex();  // never destroyed: used by detached threads
    return *mutex;
}

}  // namespace

void cleanLogMessage(const char* message, char* out, std::size_t size) {
    if (size == 0) return;
    const std::string shown = visibleText(message, LineEnds::Drop, size - 1);
    std::memcpy(out, shown.data(), shown.size());
    out[shown.size()] = '\0';
}

bool logCanBeOpened(int& error) {
    MutexLock lock(logMutex());
    std::FILE* file = std::fopen(kLogFileName, "a");
    if (file == nullptr) {
        error = errno;
        return false;
    }
    std::fclose(file);
    return true;
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
    MutexLock lock(logMutex());
    std::FILE* file = std::fopen(kLogFileName, "a");
    if (file == nullptr) return;
    std::fprintf(file, "[%s] source=%s %s\n", stamp, "kolv-bridge", cleaned);
    std::fclose(file);
}

}  // namespace kolv
