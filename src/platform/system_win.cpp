#include "platform/system.h"

#include "platform/seam.h"

#include <windows.h>
#include <timeapi.h>

#include <ctime>

namespace kolv {

const char* platformName() { return "Windows"; }

const char* architectureName() {
#if defined(_M_X64) || defined(__x86_64__)
    return "x64";
#elif defined(_M_IX86) || defined(__i386__)
    return "x86";
#elif defined(_M_ARM64) || defined(__aarch64__)
    return "arm64";
#elif defined(_M_ARM) || defined(__arm__)
    return "arm";
#else
    return "unknown";
#endif
}

int processId() { return static_cast<int>(::GetCurrentProcessId()); }

// No SIGPIPE here: a write to a closed peer already fails with an error.
void ignoreBrokenPipe() {}

// The system timer ticks every 15.6 ms by default, which stretches every
// short Sleep to a whole tick; 1 ms is the finest it offers.
void tightenSleepTimers() { ::timeBeginPeriod(1); }

void exitProcess(int code) { ::ExitProcess(static_cast<UINT>(code)); }

void sleepMs(std::int64_t milliseconds) {
    if (const PlatformSeam* seam = platformSeam()) return seam->sleep(milliseconds);
    if (milliseconds <= 0) {
        ::Sleep(0);
        return;
    }
    constexpr std::int64_t kLongest = 0xFFFFFFFE;  // INFINITE is 0xFFFFFFFF
    ::Sleep(static_cast<DWORD>(milliseconds < kLongest ? milliseconds : kLongest));
}

// Sleep's granularity (1 ms after timeBeginPeriod) is the best Windows offers
// without a busy wait.
void sleepMsExact(std::int64_t milliseconds) { sleepMs(milliseconds); }

std::uint64_t systemFileTime() {
    if (const PlatformSeam* seam = platformSeam()) return seam->fileTime();
    FILETIME ft;
    ::GetSystemTimeAsFileTime(&ft);
    return (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

LocalTime localTimeNow() {
    __time64_t now = ::_time64(nullptr);
    std::tm t{};
    ::_localtime64_s(&t, &now);
    return LocalTime{t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec};
}

}  // namespace kolv
