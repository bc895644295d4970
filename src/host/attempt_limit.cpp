#include "host/attempt_limit.h"

#include "platform/system.h"

namespace kolv {

int attemptLimitMs() {
    static const int limit = testShortenedMs("KOLV_TEST_ATTEMPT_LIMIT_MS", kAttemptLimitMs);
    return limit;
}

}  // namespace kolv
