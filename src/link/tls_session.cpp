#include "link/tls_session.h"

#include <openssl/ssl.h>

#include <mutex>

namespace kolv {

void TlsFree::operator()(SSL_CTX* context) const { SSL_CTX_free(context); }

void TlsFree::operator()(SSL* connection) const { SSL_free(connection); }

void initialiseTlsLibrary() {
    static std::once_flag once;
    std::call_once(once, [] {
        OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    });
}

}  // namespace kolv
