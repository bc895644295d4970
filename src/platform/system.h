#pragma once
// Process, time and build facts from the operating system.
#include <cstddef>
#include <cstdint>
#include <string>

namespace kolv {

// Handshake texts describing this build.
const char* platformName();
const char* architectureName();

int processId();
// Writes to a closed peer must fail with an error, not end the process.
void ignoreBrokenPipe();
// Asks the OS to wake timed sleeps as close to their end as it can, so the
// bridge's fixed pauses add nothing beyond their length.
void tightenSleepTimers();
// Ends the process at once with code, without running destructors that
// detached threads may still be using. Flushes nothing: console writes are unbuffered.
[[noreturn]] void exitProcess(int code);

// The working folder as the system names it; "." when it cannot tell.
std::string workingFolder();

void sleepMs(std::int64_t milliseconds);
void systemSleepMs(std::int64_t milliseconds);  // past any test seam
// A steady clock in microseconds, for pacing; its zero means nothing.
std::int64_t steadyMicros();
// The same clock in milliseconds, for deadlines.
std::int64_t steadyMs();
// Sleeps until steadyMicros() reaches deadline, never waking before it. For
// the pauses between sends to clients; where the system's sleeps are coarse
// (Windows: whole milliseconds) the last part is spent yielding.
void pauseUntilMicros(std::int64_t deadline);
void systemPauseUntilMicros(std::int64_t deadline);  // past any test seam

// The system clock in milliseconds since 1970-01-01 UTC.
std::int64_t nowUnixMs();
std::int64_t systemUnixMs();  // past any test seam

// size as an int for APIs that take one, at most INT_MAX.
int clampToInt(std::size_t size);

// limitMs, or, for tests only, a shorter limit from the environment variable
// named (milliseconds, 1 to limitMs). Read once per call: callers keep it.
int testShortenedMs(const char* variable, int limitMs);

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
