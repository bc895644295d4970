#pragma once
#include <cstddef>

#include "config/bridge_config.h"

namespace kolv {

// "site~software/platform.arch/1.3.103" for this build, cut at 512
// characters. Any thread; no lock.
void formatHandshake(char* out, std::size_t size, const BridgeConfig& config);

// One host-link attempt: resolve, connect, optional TLS, handshake, receive
// loop until the link ends, teardown. Main thread only.
void runHostLink(BridgeConfig config);

}  // namespace kolv
