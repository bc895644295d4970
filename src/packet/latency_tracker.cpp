#include "packet/latency_tracker.h"

#include <cstring>

#include "packet/packet_text.h"
#include "platform/system.h"

namespace kolv {
namespace {

// A recorded entry always has a real send time; its checksum may be -1
// (bytes above 0x7F), so the send time is what tells a free entry.
bool isFree(const TrackerEntry& e) { return e.sentAtMs == -1; }

void freeAll(LatencyTracker& tracker) REQUIRES(tracker.mutex) {
    for (auto& e : tracker.entries) e = TrackerEntry{-1, -1, 0};
}

}  // namespace

LatencyTracker::LatencyTracker() { resetTracker(*this); }

void resetTracker(LatencyTracker& tracker) {
    MutexLock lock(tracker.mutex);
    freeAll(tracker);
}

void trackPacket(LatencyTracker& tracker, const char* text, bool isStats) {
    MutexLock lock(tracker.mutex);
    for (auto& e : tracker.entries) {
        if (!isFree(e)) continue;
        e.checksum = packetChecksum(text);
        e.sentAtMs = nowUnixMs();
        e.isStats = isStats ? 1 : 0;
        return;
    }
}

bool matchTrackedPacket(LatencyTracker& tracker, std::int32_t lineChecksum, const char* body,
                        std::int64_t& sentAtMs) {
    bool bodyHasStats = body != nullptr && std::strstr(body, "STATS") != nullptr;
    MutexLock lock(tracker.mutex);
    for (const auto& e : tracker.entries) {
        if (isFree(e)) continue;
        if (e.checksum == lineChecksum || (e.isStats == 1 && bodyHasStats)) {
            sentAtMs = e.sentAtMs;
            freeAll(tracker);
            return true;
        }
    }
    return false;
}

}  // namespace kolv
