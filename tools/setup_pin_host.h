// kolv-setup --pin-host: trust on first use. Shows the configured host's
// certificate and, once the user agrees, adds its pin to ulk.pin.
#pragma once

#include "config/bridge_config.h"

namespace kolvsetup {

// Returns the exit code: 0 when the pin is listed at the end, 1 when the
// user says no or the host cannot be reached.
int pinHost(const kolv::BridgeConfig& config, bool assumeYes);

}  // namespace kolvsetup
