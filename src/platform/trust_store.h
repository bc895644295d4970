#pragma once
// The operating system's judgement of a host's certificate chain.
struct ssl_ctx_st;
struct x509_store_ctx_st;

namespace kolv {

// Readies context for systemTrustsChain: OpenSSL's default paths on POSIX
// (SSL_CERT_FILE and SSL_CERT_DIR apply); nothing on Windows, whose chain
// engine finds its roots itself. False when none could be loaded.
bool useSystemTrustStore(ssl_ctx_st* context);

// From the cert-verify callback: whether the host's certificate in store,
// with the intermediates it sent, leads to a root the system trusts for
// server authentication. POSIX: OpenSSL's X509_verify_cert. Windows: the
// system's chain engine, which fetches missing roots as Windows does, and its
// SSL policy, which also checks dnsName when given (null for an address).
bool systemTrustsChain(x509_store_ctx_st* store, const char* dnsName);

}  // namespace kolv
