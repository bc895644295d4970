#include "platform/system.h"

#include <chrono>
#include <csignal>
#include <ctime>
#include <thread>
#include <unistd.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif

namespace kolv {

const char* platformName() {
#if defined(__linux__)
    return "Linux";
#elif defined(__APPLE__)
    return "macOS";
#else
    return "POSIX";
#endif
}

const char* architectureName() {
#if defined(__x86_64__)
    return "x64";
#elif defined(__i386__)
    return "x86";
#elif defined(__aarch64__)
    return "arm64";
#elif defined(__arm__)
    return "arm";
#else
    return "unknown";
#endif
}

std::string workingFolder() {
    char folder[4096];
    return ::getcwd(folder, sizeof folder) != nullptr ? folder : ".";
}

int processId() { return static_cast<int>(::getpid()); }

void ignoreBrokenPipe() { std::signal(SIGPIPE, SIG_IGN); }

void tightenSleepTimers() {
#if defined(__linux__)
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
}

void exitProcess(int code) { ::_exit(code); }

void systemSleepMs(std::int64_t milliseconds) {
    if (milliseconds <= 0) {
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void systemPauseUntilMicros(std::int64_t deadline) {
    // No early wake and yield: on a loaded machine each yield hands a busy
    // neighbour its whole time slice (3 ms a pause, measured). A late wake-up
    // is caught up by the broadcast's schedule instead.
    std::this_thread::sleep_until(std::chrono::steady_clock::time_point{std::chrono::microseconds(deadline)});
}

std::int64_t systemUnixMs() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

LocalTime localTimeNow() {
    std::time_t now = std::time(nullptr);
    std::tm t{};
    ::localtime_r(&now, &t);
    return LocalTime{t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec};
}

}  // namespace kolv
