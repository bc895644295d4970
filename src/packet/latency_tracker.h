#pragma once
#include <array>
#include <cstdint>

#include "platform/mutex.h"

namespace kolv {

inline constexpr int kTrackerSize = 50;

struct TrackerEntry {
    std::int32_t checksum;  // -1 marks a free entry
    std::int64_t sentAtMs;  // -1 in a free entry
    std::uint8_t isStats;
};

// Writes awaiting their echo from the host. The claim of a free entry, the
// matching scan and the reset each run whole under `mutex`.
struct LatencyTracker {
    Mutex mutex;
    std::array<TrackerEntry, kTrackerSize> entries GUARDED_BY(mutex);
    LatencyTracker();
};

// Marks every entry free (a new tracker starts so).
void resetTracker(LatencyTracker& tracker);

// Records text in the lowest free entry, if any; silent when the table is full.
void trackPacket(LatencyTracker& tracker, const char* text, bool isStats);

// Looks for the first entry that line answers: same checksum, or the pending
// statistics request when body holds "STATS" (body may be null when the line
// has no body). Free entries never match. On a match stores the send time in
// sentAtMs, frees every entry and returns true.
bool matchTrackedPacket(LatencyTracker& tracker, std::int32_t lineChecksum, const char* body,
                        std::int64_t& sentAtMs);

}  // namespace kolv
