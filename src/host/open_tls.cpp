#include "host/open_tls.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>

#include <cstdio>

#include "app/bridge_state.h"
#include "output/append_log.h"
#include "output/console_line.h"

namespace kolv {

SSL* openTls(SocketHandle socket, SSL_CTX*& context) {
    context = SSL_CTX_new(TLS_client_method());
    if (context == nullptr) {
        consoleLine("!ctx...");
        appendLog("!ctx...");
        return nullptr;
    }
    SSL* ssl = SSL_new(context);
    if (ssl == nullptr) {
        consoleLine("!ssl...");
        appendLog("!ssl...");
        SSL_CTX_free(context);
        context = nullptr;
        return nullptr;
    }
    SSL_set_fd(ssl, socket);
    if (SSL_connect(ssl) > 0) return ssl;
    ERR_print_errors_fp(stderr);
    SSL_free(ssl);
    SSL_CTX_free(context);
    context = nullptr;
    consoleLine("SSL_connect failed.");
    appendLog("SSL_connect failed");
    return nullptr;
}

SSL* setUpTls(SocketHandle socket, SSL_CTX*& context) {
    openText("SSL...");
    SSL_library_init();
    OPENSSL_add_all_algorithms_noconf();
    SSL_load_error_strings();
    SSL* ssl = openTls(socket, context);
    if (ssl == nullptr) {
        plainLine("failed.");
        return nullptr;
    }
    printOk();
    if (bridgeState().verbose.load()) appendLog("SSL...OK");
    return ssl;
}

}  // namespace kolv
