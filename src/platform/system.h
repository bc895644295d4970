#pragma once
// Process, time and build facts from the operating system.
#include <cstdint>

namespace kolv {

// Handshake texts describing this build.
const char* platformName();
const char* architectureName();

int processId();
// Writes to a closed peer must fail with an error, not end the process.
void ignoreBrokenPipe();
// Ends the process at once with code, without running destructors that
// detached threads may still be using. Flushes nothing: console writes are unbuffered.
[[noreturn]] void exitProcess(int code);

void sleepMs(std::int64_t milliseconds);

// System clock as 100-nanosecond intervals since 1601-01-01 UTC.
std::uint64_t systemFileTime();

struct LocalTime {
    int year;    // full year, e.g. 2025
    int month;   // 1..12
    int day;     // 1..31
    int hour;    // 0..23
    int minute;
    int second;
};
LocalTime localTimeNow();

}  // namespace kolv
