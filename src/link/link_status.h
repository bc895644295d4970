#pragma once
// What the threads learn of the host link besides its bytes: whether it is
// up, the packets awaiting their echo, and the latency last measured.
#include <cstdint>

#include "packet/latency_tracker.h"

namespace kolv {

// Main thread: marks the link up or down; the first "up" wakes the listener.
void setHostLinkDown(bool down);
// Listener thread: returns once a host link is up, noting the listener
// alive every second meanwhile.
void waitForHostLinkUp();

// Writers record their packets here; the main thread matches the echoes.
LatencyTracker& linkLatencyTracker();

// Main thread stores each figure it measures; client threads read it for
// their join notice. 0 until the first measurement.
void storeLastLatencyMs(std::int64_t latencyMs);
std::int64_t lastLatencyMs();

}  // namespace kolv
