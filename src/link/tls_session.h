#pragma once
// Owners of the TLS library's objects for one host link.
#include <memory>

struct ssl_st;
struct ssl_ctx_st;

namespace kolv {

struct TlsFree {
    void operator()(ssl_ctx_st* context) const;
    void operator()(ssl_st* connection) const;
};
using TlsContext = std::unique_ptr<ssl_ctx_st, TlsFree>;
using TlsConnection = std::unique_ptr<ssl_st, TlsFree>;

// A TLS client session on the link's socket; both empty for a plain link.
// The connection is declared last so that it is freed before its context.
struct TlsSession {
    TlsContext context;
    TlsConnection connection;
};

// Sets the TLS library up for this process, once, whichever thread asks first.
void initialiseTlsLibrary();

}  // namespace kolv
