#include "host/attempt_limit.h"

#include <cstdlib>

namespace kolv {

int attemptLimitMs() {
    static const int limit = [] {
        const char* text = std::getenv("KOLV_TEST_ATTEMPT_LIMIT_MS");
        long value = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
        return value > 0 && value <= kAttemptLimitMs ? static_cast<int>(value) : kAttemptLimitMs;
    }();
    return limit;
}

}  // namespace kolv
