#include "platform/system.h"

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

std::string workingFolder() {
    char folder[MAX_PATH + 1];
    const DWORD length = ::GetCurrentDirectoryA(sizeof folder, folder);
    return length > 0 && length < sizeof folder ? folder : ".";
}

int processId() { return static_cast<int>(::GetCurrentProcessId()); }

// No SIGPIPE here: a write to a closed peer already fails with an error.
void ignoreBrokenPipe() {}

// The system timer ticks every 15.6 ms by default, which stretches every
// short Sleep to a whole tick; 1 ms is the finest it offers.
void tightenSleepTimers() { ::timeBeginPeriod(1); }

void exitProcess(int code) { ::ExitProcess(static_cast<UINT>(code)); }

void systemSleepMs(std::int64_t milliseconds) {
    if (milliseconds <= 0) {
        ::Sleep(0);
        return;
    }
    constexpr std::int64_t kLongest = 0xFFFFFFFE;  // INFINITE is 0xFFFFFFFF
    ::Sleep(static_cast<DWORD>(milliseconds < kLongest ? milliseconds : kLongest));
}

// Sleep's granularity (1 ms after timeBeginPeriod) is the best Windows offers
// without a busy wait: whole milliseconds, the last part yielded away.
void systemPauseUntilMicros(std::int64_t deadline) {
    const std::int64_t left = deadline - steadyMicros();
    if (left > 1000) systemSleepMs(left / 1000);
    while (steadyMicros() < deadline) ::Sleep(0);
}

// FILETIME counts 100 ns intervals since 1601-01-01 UTC.
std::int64_t systemUnixMs() {
    constexpr std::int64_t kUnixEpochAsFileTimeMs = 11644473600000LL;
    FILETIME ft;
    ::GetSystemTimeAsFileTime(&ft);
    const std::uint64_t ticks = (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return static_cast<std::int64_t>(ticks / 10000U) - kUnixEpochAsFileTimeMs;
}

LocalTime localTimeNow() {
    __time64_t now = ::_time64(nullptr);
    std::tm t{};
    ::_localtime64_s(&t, &now);
    return LocalTime{t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec};
}

}  // namespace kolv
