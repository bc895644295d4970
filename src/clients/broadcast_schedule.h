#pragma once
// When each send of a broadcast may start. Sends keep to a grid 5 ms apart,
// counted from the start of the first, so a pause that woke late is caught up
// on the next slot instead of moving every later one; no send starts sooner
// than 4.5 ms after the one before it started.
#include <cstdint>

namespace kolv {

inline constexpr std::int64_t kClientPauseMicros = 5000;
inline constexpr std::int64_t kShortestBroadcastGapMicros = 4500;

class BroadcastSchedule {
public:
    // Notes a send that started at `started` (steady microseconds) and
    // returns the time the next send may start.
    std::int64_t nextStartAfter(std::int64_t started);

private:
    std::int64_t firstStart_ = 0;
    std::int64_t sends_ = 0;
};

}  // namespace kolv
