// --chaos: faults on a schedule drawn from the seed, and numbered host
// messages (HOSTMSG n) for the clients to check.
#pragma once

#include <cstdint>

namespace ulksim {

// Every connection starts with this receive buffer under --chaos, so a site
// that stops being read soon finds the window shut.
inline constexpr int kChaosReceiveBuffer = 4096;

// Called by the timer loop on each tick while --chaos is on.
void chaosTick(std::int64_t nowMs);

}  // namespace ulksim
