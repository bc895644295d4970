#include "platform/send_all.h"

namespace kolv {

long socketSendAll(SocketHandle s, const char* data, std::size_t length, std::size_t& sent) {
    sent = 0;
    while (sent < length) {
        long n = socketSend(s, data + sent, length - sent);
        if (n <= 0) return -1;  // a send of 0 makes no progress: failed rather than spin
        sent += static_cast<std::size_t>(n);
    }
    return static_cast<long>(sent);
}

}  // namespace kolv
