#include "host/run_host_link.h"

#include <openssl/evp.h>
#include <openssl/ssl.h>

#include "app/bridge_state.h"
#include "host/host_link_io.h"
#include "host/open_tls.h"
#include "host/receive_loop.h"
#include "output/append_log.h"
#include "output/bounded_format.h"
#include "output/console_line.h"
#include "platform/net_headers.h"
#include "platform/system.h"

namespace kolv {
namespace {

void reportPlain(const char* message) {
    plainLine(message);
    appendLog(message);
}

// Resolves and connects, trying each address in turn. Returns the connected
// socket, or the invalid socket after reporting why.
SocketHandle connectToHost(const BridgeConfig& config) {
    char message[512];
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    int resolved = getaddrinfo(config.host, config.port, &hints, &list);
    if (resolved != 0) {
        boundedFormat(message, sizeof message, "getaddrinfo failed with error: %d", resolved);
        reportPlain(message);
        return kInvalidSocket;
    }
    SocketHandle socket = kInvalidSocket;
    for (addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
        socket = openSocket(entry->ai_family, entry->ai_socktype, entry->ai_protocol);
        if (socket == kInvalidSocket) {
            boundedFormat(message, sizeof message, "socket failed with error: %d", lastSocketError());
            reportPlain(message);
            freeaddrinfo(list);
            return kInvalidSocket;
        }
        if (connectSocket(socket, entry->ai_addr, entry->ai_addrlen) != 0) {
            int error = lastSocketError();
            closeSocket(socket);
            boundedFormat(message, sizeof message, "connect failed with error: %d. ", error);
            reportPlain(message);
            socket = kInvalidSocket;
            continue;
        }
        printOk();
        break;
    }
    freeaddrinfo(list);
    if (socket == kInvalidSocket) reportPlain("Unable to connect to server!");
    return socket;
}

}  // namespace

void formatHandshake(char* out, std::size_t size, const BridgeConfig& config) {
    boundedFormat(out, size, "%s~%s/%s.%s/%s.%s", config.siteName, config.software, platformName(),
                  architectureName(), "1.3", "103");
}

void runHostLink(BridgeConfig config) {
    BridgeState& state = bridgeState();
    char handshake[513];
    formatHandshake(handshake, sizeof handshake, config);
    consoleLine("Starting up...");

    char message[512];
    int started = socketStartup();
    if (started != 0) {
        boundedFormat(message, sizeof message, "WSAStartup failed with error: %d", started);
        consoleLine(message);
        appendLog(message);
        return;
    }

    openText("Connecting to %s:%s...", config.host, config.port);
    SocketHandle socket = connectToHost(config);
    if (socket == kInvalidSocket) {
        socketCleanup();
        return;
    }

    SSL_CTX* context = nullptr;
    SSL* connection = config.useTls != 0 ? setUpTls(socket, context) : nullptr;

    openText("Sending handshake:\"%s\" ... ", handshake);
    int errorCode = 0;
    if (openHostLinkWithHandshake(socket, context, connection, handshake, errorCode) == -1) {
        boundedFormat(message, sizeof message, "send failed with error: %d\r\n", errorCode);
        reportPlain(message);
        closeHostLink();
        socketCleanup();
        return;
    }
    printOk();
    setHostLinkDown(state, false);
    state.everConnected.store(true);
    if (state.retryCount.load() > 0) appendLog("Reconnection successful");
    state.retryCount.store(0);

    receiveLoop(config);

    setHostLinkDown(state, true);
    closeHostLink();
    socketCleanup();
    if (connection != nullptr) EVP_cleanup();
}

}  // namespace kolv
