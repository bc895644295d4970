#include "platform/system.h"

#include <chrono>
#include <climits>

// The parts of system.h that are the same on every OS and need no test seam.
namespace kolv {

std::int64_t steadyMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::int64_t steadyMs() { return steadyMicros() / 1000; }

int clampToInt(std::size_t size) { return size > INT_MAX ? INT_MAX : static_cast<int>(size); }

}  // namespace kolv
