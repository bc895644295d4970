#include "platform/console.h"

#include <windows.h>

#include <atomic>
#include <cstdio>

namespace kolv {
namespace {

HANDLE stdoutHandle() { return ::GetStdHandle(STD_OUTPUT_HANDLE); }

class StdoutSink final : public ConsoleSink {
public:
    // Raw bytes, as on every other platform: no text-mode line-end translation.
    void write(const char* data, std::size_t length) override {
        HANDLE out = stdoutHandle();
        while (length > 0) {
            DWORD chunk = length > 0x10000000 ? 0x10000000 : static_cast<DWORD>(length);
            DWORD written = 0;
            if (!::WriteFile(out, data, chunk, &written, nullptr) || written == 0) return;  // ignored
            data += written;
            length -= written;
        }
    }

    // The attribute is already in the console's own layout. On a pipe or a
    // file the call fails and nothing changes, which is what we want.
    void setAttribute(int attribute) override {
        ::SetConsoleTextAttribute(stdoutHandle(), static_cast<WORD>(attribute & 0xFFFF));
    }
};

StdoutSink& defaultSink() {
    static StdoutSink* sink = new StdoutSink();  // never destroyed: detached threads may print at exit
    return *sink;
}

std::atomic<ConsoleSink*> activeSink{nullptr};

// The TLS library reports to stderr through the C runtime, which buffers a
// stderr that is not a console until exit, and the bridge never exits
// normally. Unbuffered, as stderr is on POSIX, the report is seen at once.
[[maybe_unused]] const bool stderrUnbuffered = std::setvbuf(stderr, nullptr, _IONBF, 0) == 0;

ConsoleSink& sink() {
    ConsoleSink* s = activeSink.load(std::memory_order_acquire);
    return s ? *s : defaultSink();
}

}  // namespace

bool consoleAvailable() { return stdoutHandle() != INVALID_HANDLE_VALUE; }

void setConsoleSink(ConsoleSink* s) { activeSink.store(s, std::memory_order_release); }

void consoleWrite(const char* data, std::size_t length) { sink().write(data, length); }

void consoleSetAttribute(int attribute) { sink().setAttribute(attribute); }

}  // namespace kolv
