#include "output/console_line.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "output/print_piped.h"
#include "output/stamp_prefix.h"
#include "output/visible_text.h"
#include "platform/console.h"
#include "platform/mutex.h"

namespace kolv {
namespace {

// The console line that a thread has opened and not yet ended, and the
// thread whose open line another thread's output had to end: its
// completion then stands on a line of its own, behind a prefix. The mutex
// is held for every write to the console.
struct OpenLine {
    Mutex mutex;
    bool open GUARDED_BY(mutex) = false;
    std::thread::id owner GUARDED_BY(mutex);
    bool interrupted GUARDED_BY(mutex) = false;
    std::thread::id interruptedOwner GUARDED_BY(mutex);
};

OpenLine& openLine() {
    static auto* line = new OpenLine();  // never destroyed: used by detached threads
    return *line;
}

enum class Prefix { None, Stamp };

// Writes one piece of a line for the calling thread.
void emitLocked(OpenLine& line, Prefix prefix, const std::string& text, bool piped) REQUIRES(line.mutex) {
    const std::thread::id me = std::this_thread::get_id();
    if (line.open && line.owner != me) {
        consoleWrite("\n", 1);
        line.open = false;
        line.interrupted = true;
        line.interruptedOwner = line.owner;
    }
    const bool completing = line.interrupted && line.interruptedOwner == me;
    if (completing) line.interrupted = false;
    if (prefix == Prefix::Stamp || (completing && !line.open)) stampPrefix();
    if (piped) {
        printPiped(text.c_str());
    } else {
        consoleWrite(text.data(), text.size());
    }
    line.open = !text.empty() ? text.back() != '\n' : (prefix == Prefix::Stamp || line.open);
    if (line.open) line.owner = me;
}

// Messages carry names and packets from the network: their control bytes
// are shown, not sent to the terminal. Colour changes are separate calls.
void emit(Prefix prefix, const std::string& text, bool piped = false) {
    const std::string shown = visibleText(text, LineEnds::Keep);
    OpenLine& line = openLine();
    MutexLock lock(line.mutex);
    emitLocked(line, prefix, shown, piped);
}

__attribute__((format(printf, 1, 0))) std::string formatted(const char* format, std::va_list args) {
    char small[512];
    std::va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) return std::string();
    if (static_cast<std::size_t>(n) < sizeof small) return std::string(small, static_cast<std::size_t>(n));
    std::string big(static_cast<std::size_t>(n) + 1, '\0');
    std::vsnprintf(big.data(), big.size(), format, args);
    big.resize(static_cast<std::size_t>(n));
    return big;
}

}  // namespace

void printStampedLine(const char* message) { emit(Prefix::Stamp, std::string(message) + "\n"); }

void printBareLine(const char* message) { emit(Prefix::None, std::string(message) + "\n"); }

void printStampedText(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    emit(Prefix::Stamp, formatted(format, args));
    va_end(args);
}

void printBareText(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    emit(Prefix::None, formatted(format, args));
    va_end(args);
}

void printOk() { emit(Prefix::None, "|10OK|07\r\n", true); }

}  // namespace kolv
