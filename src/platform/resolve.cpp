#include "platform/resolve.h"

#include "platform/net_headers.h"

namespace kolv {

void AddressListFree::operator()(addrinfo* list) const { freeaddrinfo(list); }

int resolveStream(const char* host, const char* port, bool passive, AddressList& list) {
    addrinfo hints{};
    hints.ai_flags = passive ? AI_PASSIVE : 0;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    int error = getaddrinfo(host, port, &hints, &found);
    list.reset(error == 0 ? found : nullptr);
    return error;
}

}  // namespace kolv
