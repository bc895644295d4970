#include "platform/resolve.h"

#include "platform/net_headers.h"

#include <cstdio>
#include <cstring>

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

void numericAddress(const addrinfo* entry, char* out, std::size_t size) {
    if (getnameinfo(entry->ai_addr, static_cast<socklen_t>(entry->ai_addrlen), out, static_cast<unsigned int>(size),
                    nullptr, 0, NI_NUMERICHOST) != 0) {
        std::snprintf(out, size, "?");
    }
}

bool listedBefore(const addrinfo* list, const addrinfo* entry) {
    for (const addrinfo* earlier = list; earlier != entry; earlier = earlier->ai_next) {
        if (earlier->ai_addrlen == entry->ai_addrlen &&
            std::memcmp(earlier->ai_addr, entry->ai_addr, entry->ai_addrlen) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace kolv
