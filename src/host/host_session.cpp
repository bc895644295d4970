#include "host/host_session.h"

namespace kolv {

HostSession& hostSession() {
    static HostSession session;
    return session;
}

}  // namespace kolv
