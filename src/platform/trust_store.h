#pragma once
// The operating system's trusted root certificates, for checking a host's
// certificate chain.
struct ssl_ctx_st;

namespace kolv {

// Makes context trust the system's root certificates: OpenSSL's default
// paths on POSIX (SSL_CERT_FILE and SSL_CERT_DIR apply), the "ROOT" store on
// Windows. False when none could be loaded.
bool useSystemTrustStore(ssl_ctx_st* context);

}  // namespace kolv
