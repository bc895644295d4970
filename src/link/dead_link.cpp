#include "link/dead_link.h"

#include <cstdlib>

namespace kolv {

int deadLinkMs() {
    static const int limit = [] {
        const char* text = std::getenv("KOLV_TEST_DEAD_LINK_MS");
        long value = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
        return value > 0 && value <= kDeadLinkMs ? static_cast<int>(value) : kDeadLinkMs;
    }();
    return limit;
}

DeadLinkLimits deadLinkLimits() {
    const int limit = deadLinkMs();
    return DeadLinkLimits{limit, limit / 6, 3, limit};
}

}  // namespace kolv
