#pragma once
#include "config/bridge_config.h"
#include "host/handle_host_data.h"

namespace kolv {

// One read cycle: pause, join the carried text, read, handle the lines.
// False when the link has ended (reported, reconnectPending set). Main thread.
bool receiveOnce(HostReadCarry& carry, const BridgeConfig& config);

// Reads the host link until it fails or closes, handling each line; reports
// the end and sets reconnectPending. Main thread only; the link lock is
// taken per read (TLS), never across a wait.
void receiveLoop(const BridgeConfig& config);

}  // namespace kolv
