#include "setup_host_certificate.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cstdio>
#include <string>
#include <system_error>

#include "host/attempt_limit.h"
#include "host/open_tls.h"
#include "link/tls_session.h"
#include "platform/resolve.h"
#include "tool_net.h"

namespace kolvsetup {
namespace {

using kolv::SocketHandle;

std::string hostAndPort(const kolv::BridgeConfig& config) { return std::string(config.host) + ":" + config.port; }

kolv::UniqueSocket connectToHost(const kolv::BridgeConfig& config) {
    kolv::AddressList list;
    int resolved = kolv::resolveStream(config.host, config.port, false, list);
    if (resolved != 0) {
        std::fprintf(stderr, "kolv-setup: cannot resolve %s: %s\n", config.host, gai_strerror(resolved));
        return kolv::UniqueSocket();
    }
    const int limitMs = kolv::attemptLimitMs();
    int error = 0;
    SocketHandle s = kolvtool::firstUsableSocket(list.get(), [limitMs](SocketHandle candidate, const addrinfo& a) {
        return kolv::connectSocketWithin(candidate, a.ai_addr, a.ai_addrlen, limitMs) == 0;
    }, error);
    if (s == kolv::kInvalidSocket) {
        std::fprintf(stderr, "kolv-setup: cannot connect to %s: error %d (%s)\n", hostAndPort(config).c_str(), error,
                     std::system_category().message(error).c_str());
    }
    return kolv::UniqueSocket(s);
}

// No host name goes out: the bridge sends none to a pinned host either, so
// this is the certificate it will be shown.
bool handshake(SSL* connection, SocketHandle socket, const kolv::BridgeConfig& config) {
    if (SSL_set_fd(connection, socket) == 1 && kolv::handshakeWithin(connection, socket, kolv::attemptLimitMs()))
        return true;
    const unsigned long error = ERR_get_error();
    ERR_clear_error();
    const char* reason = error != 0 ? ERR_reason_error_string(error) : nullptr;
    std::fprintf(stderr, "kolv-setup: the TLS handshake with %s failed%s%s\n", hostAndPort(config).c_str(),
                 reason != nullptr ? ": " : " (no answer in time, or the connection closed)",
                 reason != nullptr ? reason : "");
    return false;
}

}  // namespace

bool fetchHostCertificate(const kolv::BridgeConfig& config, kolv::CertificateFacts& facts) {
    kolv::UniqueSocket socket = connectToHost(config);
    if (socket.get() == kolv::kInvalidSocket) return false;
    kolv::initialiseTlsLibrary();
    kolv::TlsContext context(SSL_CTX_new(TLS_client_method()));
    kolv::TlsConnection connection(context ? SSL_new(context.get()) : nullptr);
    if (!connection) {
        std::fprintf(stderr, "kolv-setup: cannot set TLS up\n");
        return false;
    }
    if (!handshake(connection.get(), socket.get(), config)) return false;
    X509* certificate = SSL_get0_peer_certificate(connection.get());
    const bool read = certificate != nullptr && kolv::readCertificateFacts(certificate, facts);
    SSL_shutdown(connection.get());
    if (!read) std::fprintf(stderr, "kolv-setup: %s showed no usable certificate\n", hostAndPort(config).c_str());
    return read;
}

}  // namespace kolvsetup
