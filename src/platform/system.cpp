#include "platform/system.h"

#include <chrono>
#include <climits>
#include <cstdlib>

// The parts of system.h that are the same on every OS and need no test seam.
namespace kolv {

std::int64_t steadyMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::int64_t steadyMs() { return steadyMicros() / 1000; }

int clampToInt(std::size_t size) { return size > INT_MAX ? INT_MAX : static_cast<int>(size); }

int testShortenedMs(const char* variable, int limitMs) {
    const char* text = std::getenv(variable);
    long value = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
    return value > 0 && value <= limitMs ? static_cast<int>(value) : limitMs;
}

}  // namespace kolv
