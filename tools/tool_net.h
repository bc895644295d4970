// Opening TCP sockets by name, for the stand-in tools.
#pragma once

#include <functional>

#include "platform/net_headers.h"
#include "platform/socket.h"

namespace kolvtool {

// Tries each address in turn and returns the first new socket that `use`
// takes (connects, or binds and listens); one it refuses is closed. When none
// is taken, returns kInvalidSocket with error set to the last socket error.
using UseSocket = std::function<bool(kolv::SocketHandle, const addrinfo&)>;
kolv::SocketHandle firstUsableSocket(const addrinfo* list, const UseSocket& use, int& error);

}  // namespace kolvtool
