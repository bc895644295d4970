#include "host/open_tls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "config/site_settings.h"
#include "host/attempt_limit.h"
#include "host/host_trust.h"
#include "output/append_log.h"
#include "output/console_line.h"
#include "output/report.h"
#include "platform/system.h"

namespace kolv {
namespace {

// The failed handshake's report: an untrusted host is named by its pin.
void reportHandshakeFailure(const TrustCheck& check) {
    if (check.checked && !check.trusted) {
        std::string line = "Host certificate not trusted: " + formatPin(check.facts.pin) + " (" +
                           check.facts.subject + ")";
        reportLine(line.c_str());
        return;
    }
    ERR_print_errors_fp(stderr);
    printStampedLine("SSL_connect failed.");
    appendLog("SSL_connect failed");
}

void reportCertificate(SSL* connection) {
    CertificateFacts facts;
    X509* certificate = SSL_get0_peer_certificate(connection);
    if (certificate == nullptr || !readCertificateFacts(certificate, facts)) return;
    for (const std::string& line : certificateLines(facts)) reportLine(line.c_str());
}

}  // namespace

bool handshakeWithin(SSL* connection, SocketHandle socket, int limitMs) {
    setNonBlocking(socket, true);
    const std::int64_t deadline = steadyMs() + limitMs;
    bool done = false;
    for (;;) {
        int result = SSL_connect(connection);
        done = result > 0;
        int error = done ? SSL_ERROR_NONE : SSL_get_error(connection, result);
        std::int64_t left = deadline - steadyMs();
        if (done || (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) || left <= 0) break;
        WaitFor what = error == SSL_ERROR_WANT_READ ? WaitFor::Read : WaitFor::Write;
        if (waitSocket(socket, what, static_cast<int>(left)) <= 0) break;
    }
    setNonBlocking(socket, false);
    return done;
}

TlsSession openTls(SocketHandle socket, const char* host, const TrustPolicy& policy) {
    TlsSession tls;
    tls.context.reset(SSL_CTX_new(TLS_client_method()));
    if (tls.context == nullptr) {
        reportLine("!ctx...");
        return {};
    }
    tls.connection.reset(SSL_new(tls.context.get()));
    if (tls.connection == nullptr) {
        reportLine("!ssl...");
        return {};
    }
    SSL_set_fd(tls.connection.get(), socket);
    TrustCheck check;
    bool ready = !policy.pinned || requireTrustedHost(tls.context.get(), tls.connection.get(), policy, host, check);
    bool connected = ready && handshakeWithin(tls.connection.get(), socket, attemptLimitMs());
    SSL_set_app_data(tls.connection.get(), nullptr);
    if (connected) return tls;
    reportHandshakeFailure(check);
    return {};
}

TlsSession setUpTls(SocketHandle socket, const char* host, const TrustPolicy& policy) {
    printStampedText("SSL...");
    initialiseTlsLibrary();
    TlsSession tls = openTls(socket, host, policy);
    if (tls.connection == nullptr) {
        printBareLine("failed.");
        return tls;
    }
    printOk();
    if (verboseLogging()) {
        appendLog("SSL...OK");
        reportCertificate(tls.connection.get());
    }
    return tls;
}

}  // namespace kolv
