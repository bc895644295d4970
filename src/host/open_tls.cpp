#include "host/open_tls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cstdio>

#include "config/site_settings.h"
#include "output/append_log.h"
#include "output/console_line.h"
#include "output/report.h"

namespace kolv {

TlsSession openTls(SocketHandle socket) {
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
    if (SSL_connect(tls.connection.get()) > 0) return tls;
    ERR_print_errors_fp(stderr);
    printStampedLine("SSL_connect failed.");
    appendLog("SSL_connect failed");
    return {};
}

TlsSession setUpTls(SocketHandle socket) {
    printStampedText("SSL...");
    initialiseTlsLibrary();
    TlsSession tls = openTls(socket);
    if (tls.connection == nullptr) {
        printBareLine("failed.");
        return tls;
    }
    printOk();
    if (verboseLogging()) appendLog("SSL...OK");
    return tls;
}

}  // namespace kolv
