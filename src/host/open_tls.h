#pragma once
#include "config/pin_file.h"
#include "link/tls_session.h"
#include "platform/socket.h"

struct ssl_st;

namespace kolv {

// Runs the TLS client handshake on connection's socket, giving up after
// limitMs. The socket is blocking again afterwards. Any thread; no lock.
bool handshakeWithin(ssl_st* connection, SocketHandle socket, int limitMs);

// Main thread: creates a TLS client context and runs the TLS handshake on
// socket; for a pinned site (policy.pinned) only with a host it trusts.
// Returns the session, or an empty one after reporting the failure.
TlsSession openTls(SocketHandle socket, const char* host, const TrustPolicy& policy);

// Main thread: "SSL..." then openTls with its console outcome; with -V the
// host certificate's facts follow.
TlsSession setUpTls(SocketHandle socket, const char* host, const TrustPolicy& policy);

}  // namespace kolv
