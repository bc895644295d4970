#include "platform/console.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace kolv {
namespace {

// Windows attribute colour bits are blue=1, green=2, red=4; ANSI is red=1, green=2, blue=4.
int ansiColourIndex(int windowsColour) {
    return ((windowsColour & 4) ? 1 : 0) | (windowsColour & 2) | ((windowsColour & 1) ? 4 : 0);
}

class StdoutSink final : public ConsoleSink {
public:
    StdoutSink() : isTerminal_(::isatty(STDOUT_FILENO) == 1) {}

    void write(const char* data, std::size_t length) override {
        while (length > 0) {
            ssize_t n = ::write(STDOUT_FILENO, data, length);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;  // failed console writes are ignored
            data += n;
            length -= static_cast<std::size_t>(n);
        }
    }

    void setAttribute(int attribute) override {
        if (!isTerminal_) return;
        // Light grey on black is the console's plain state: use the terminal's own default.
        if (attribute == 7) {
            write("\x1b[0m", 4);
            return;
        }
        int fg = attribute & 0x0F;
        int bg = (attribute >> 4) & 0x07;
        char seq[32];
        int fgCode = ((fg & 8) ? 90 : 30) + ansiColourIndex(fg & 7);
        int len = bg == 0 ? std::snprintf(seq, sizeof seq, "\x1b[0;%dm", fgCode)
                           : std::snprintf(seq, sizeof seq, "\x1b[0;%d;%dm", fgCode, 40 + ansiColourIndex(bg));
        write(seq, static_cast<std::size_t>(len));
    }

private:
    bool isTerminal_;
};

StdoutSink& defaultSink() {
    static StdoutSink* sink = new StdoutSink();  // never destroyed: detached threads may print at exit
    return *sink;
}

std::atomic<ConsoleSink*> activeSink{nullptr};

ConsoleSink& sink() {
    ConsoleSink* s = activeSink.load(std::memory_order_acquire);
    return s ? *s : defaultSink();
}

}  // namespace

bool consoleAvailable() { return ::fcntl(STDOUT_FILENO, F_GETFD) != -1; }

void setConsoleSink(ConsoleSink* s) { activeSink.store(s, std::memory_order_release); }

void consoleWrite(const char* data, std::size_t length) { sink().write(data, length); }

void consoleSetAttribute(int attribute) { sink().setAttribute(attribute); }

}  // namespace kolv
