#include "host/host_session.h"

namespace kolv {

HostSession& hostSession() {
    static HostSession session;
    return session;
}

void markLinkMade(HostSession& session) {
    if (session.linkMade) return;
    session.linkMade = true;
    session.everConnected = true;
    session.retryCount = 0;
}

}  // namespace kolv
