#pragma once
// The service manager's notification socket: readiness, status texts,
// watchdog keep-alives. Without one (no NOTIFY_SOCKET, a build without the
// service manager's library, Windows) every call does nothing.
#include <cstdint>

namespace kolv {

// Sends state lines such as "READY=1", "STATUS=...", "WATCHDOG=1", "STOPPING=1".
void notifyServiceManager(const char* state);

// How often the service manager wants to hear WATCHDOG=1 from this process,
// in microseconds: 0 when it watches nothing here.
std::int64_t serviceWatchdogMicros();

}  // namespace kolv
