#include "clients/broadcast_schedule.h"

#include <algorithm>

namespace kolv {

std::int64_t BroadcastSchedule::nextStartAfter(std::int64_t started) {
    if (sends_ == 0) firstStart_ = started;
    ++sends_;
    return std::max(firstStart_ + sends_ * kClientPauseMicros, started + kShortestBroadcastGapMicros);
}

}  // namespace kolv
