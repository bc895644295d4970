#pragma once
#include "link/tls_session.h"
#include "platform/socket.h"

namespace kolv {

// Main thread: creates a TLS client context and runs the TLS handshake on
// socket. Returns the session, or an empty one after reporting the failure.
TlsSession openTls(SocketHandle socket);

// Main thread: "SSL..." then openTls with its console outcome.
TlsSession setUpTls(SocketHandle socket);

}  // namespace kolv
