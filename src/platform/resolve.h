#pragma once
// Name resolution for TCP, with the result list freed by its holder.
#include <memory>

struct addrinfo;

namespace kolv {

struct AddressListFree {
    void operator()(addrinfo* list) const;
};
using AddressList = std::unique_ptr<addrinfo, AddressListFree>;

// TCP addresses of host and port, any family; passive for a listening socket.
// Returns 0, or getaddrinfo's error code with list empty.
int resolveStream(const char* host, const char* port, bool passive, AddressList& list);

}  // namespace kolv
