#include "tool_net.h"

namespace kolvtool {
namespace {

addrinfo tcpHints(bool passive) {
    addrinfo hints{};
    hints.ai_flags = passive ? AI_PASSIVE : 0;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    return hints;
}

}  // namespace

int lookUpTcp(const std::string& host, const std::string& port, bool passive, AddressList& list) {
    const addrinfo hints = tcpHints(passive);
    addrinfo* found = nullptr;
    const int resolved = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    list.reset(found);
    return resolved;
}

kolv::SocketHandle firstUsableSocket(const addrinfo* list, const UseSocket& use, int& error) {
    error = 0;
    for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
        kolv::SocketHandle s = kolv::openSocket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s == kolv::kInvalidSocket) {
            error = kolv::lastSocketError();
            continue;
        }
        if (use(s, *a)) return s;
        error = kolv::lastSocketError();
        kolv::closeSocket(s);
    }
    return kolv::kInvalidSocket;
}

}  // namespace kolvtool
