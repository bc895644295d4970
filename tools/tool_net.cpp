#include "tool_net.h"

namespace kolvtool {

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
