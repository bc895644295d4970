// Opening TCP sockets by name, for the stand-in tools.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/net_headers.h"
#include "platform/socket.h"

namespace kolvtool {

struct AddressListFree {
    void operator()(addrinfo* list) const { freeaddrinfo(list); }
};
using AddressList = std::unique_ptr<addrinfo, AddressListFree>;

// getaddrinfo for TCP; passive for a listening socket. Returns its code, 0 when found.
int lookUpTcp(const std::string& host, const std::string& port, bool passive, AddressList& list);

// Tries each address in turn and returns the first new socket that `use`
// takes (connects, or binds and listens); one it refuses is closed. When none
// is taken, returns kInvalidSocket with error set to the last socket error.
using UseSocket = std::function<bool(kolv::SocketHandle, const addrinfo&)>;
kolv::SocketHandle firstUsableSocket(const addrinfo* list, const UseSocket& use, int& error);

}  // namespace kolvtool
