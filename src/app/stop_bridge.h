#pragma once
#include "platform/process_signals.h"

namespace kolv {

// What a signal does (the callback of routeProcessSignals). A note is
// reported and the bridge goes on. A stop is reported, the service manager
// told, every client's connection ended, and the host link closed in order by
// the main thread (for TLS with its close notice); the process then ends with
// 0, within 2 s whatever the main thread is doing.
void onProcessSignal(const char* name, SignalRequest request);

}  // namespace kolv
