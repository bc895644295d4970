#pragma once
// The listener's sockets: one on every address "localhost" has.
#include <vector>

#include "platform/socket.h"

namespace kolv {

using ListeningSockets = std::vector<UniqueSocket>;

// Opens a listening socket for port on every address of "localhost" into
// sockets, skipping (and, on success, naming) the addresses this machine
// lacks. A port that cannot be had on one address is not had at all: false,
// with sockets empty. A failure is reported only when report is set, with
// the failure line and when the next try comes (every retryWaitSeconds).
bool openListeningSockets(const char* port, int retryWaitSeconds, bool report, ListeningSockets& sockets);

}  // namespace kolv
