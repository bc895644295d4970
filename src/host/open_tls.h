#pragma once
#include "platform/socket.h"

struct ssl_st;
struct ssl_ctx_st;

namespace kolv {

// Creates a TLS client context into context and runs the TLS handshake on
// socket. Returns the connection object, or null after reporting the failure
// and freeing what it created (context is then null).
ssl_st* openTls(SocketHandle socket, ssl_ctx_st*& context);

// "SSL..." then openTls with its console outcome. Returns the connection or null.
ssl_st* setUpTls(SocketHandle socket, ssl_ctx_st*& context);

}  // namespace kolv
