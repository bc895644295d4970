#pragma once
#include "app/bridge_config.h"

namespace kolv {

// Reads the host link until it fails or closes, handling each line; reports
// the end and sets reconnectPending. Main thread only.
void receiveLoop(const BridgeConfig& config);

}  // namespace kolv
