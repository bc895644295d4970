#pragma once
// Name resolution for TCP, with the result list freed by its holder.
#include <cstddef>
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

// The numeric text of entry's address ("127.0.0.1", "::1") into out.
void numericAddress(const addrinfo* entry, char* out, std::size_t size);
// True when an earlier entry of list than entry has the same address.
bool listedBefore(const addrinfo* list, const addrinfo* entry);

}  // namespace kolv
