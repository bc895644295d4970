#include "link/dead_link.h"

#include "platform/system.h"

namespace kolv {

int deadLinkMs() {
    static const int limit = testShortenedMs("KOLV_TEST_DEAD_LINK_MS", kDeadLinkMs);
    return limit;
}

DeadLinkLimits deadLinkLimits() {
    const int limit = deadLinkMs();
    return DeadLinkLimits{limit, limit / 6, 3, limit};
}

}  // namespace kolv
