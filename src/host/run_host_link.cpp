#include "host/run_host_link.h"

#include <utility>

#include "config/site_settings.h"
#include "config/version.h"
#include "host/attempt_limit.h"
#include "host/host_session.h"
#include "host/open_tls.h"
#include "host/receive_loop.h"
#include "link/host_link_io.h"
#include "link/link_status.h"
#include "output/append_log.h"
#include "output/bounded_format.h"
#include "output/console_line.h"
#include "output/report.h"
#include "platform/net_headers.h"
#include "platform/resolve.h"
#include "platform/system.h"

namespace kolv {
namespace {

// Connects to one resolved address. Returns the connected socket, or the
// invalid socket with error set; socketFailed tells a socket that could not
// even be made.
SocketHandle connectTo(const addrinfo& entry, int& error, bool& socketFailed) {
    UniqueSocket socket(openSocket(entry.ai_family, entry.ai_socktype, entry.ai_protocol));
    socketFailed = socket.get() == kInvalidSocket;
    if (socketFailed || connectSocketWithin(socket.get(), entry.ai_addr, entry.ai_addrlen, attemptLimitMs()) != 0) {
        error = lastSocketError();
        return kInvalidSocket;
    }
    return socket.release();
}

// Resolves and connects, trying each address in turn. Returns the connected
// socket, or the invalid socket after reporting why.
SocketHandle connectToHost(const BridgeConfig& config) {
    AddressList list;
    int resolved = resolveStream(config.host, config.port, false, list);
    if (resolved != 0) {
        reportBareFormatted("getaddrinfo failed with error: %d", resolved);
        return kInvalidSocket;
    }
    for (const addrinfo* entry = list.get(); entry != nullptr; entry = entry->ai_next) {
        int error = 0;
        bool socketFailed = false;
        SocketHandle socket = connectTo(*entry, error, socketFailed);
        if (socket != kInvalidSocket) {
            printOk();
            return socket;
        }
        if (socketFailed) {
            reportBareFormatted("socket failed with error: %d", error);
            return kInvalidSocket;
        }
        reportBareFormatted("connect failed with error: %d. ", error);
    }
    reportBareLine("Unable to connect to server!");
    return kInvalidSocket;
}

// Connects, sets up TLS when configured and sends the handshake. False
// after reporting a failure; the link is then closed.
bool openLink(const BridgeConfig& config, const char* handshake) {
    printStampedText("Connecting to %s:%s...", config.host, config.port);
    SocketHandle socket = connectToHost(config);
    if (socket == kInvalidSocket) return false;
    const TrustPolicy& trust = siteSettings().trust;
    TlsSession tls = config.useTls != 0 ? setUpTls(socket, config.host, trust) : TlsSession{};
    if (trust.pinned && tls.connection == nullptr) {
        closeSocket(socket);  // a pinned site never falls back to plain text
        return false;
    }
    printStampedText("Sending handshake:\"%s\" ... ", handshake);
    int errorCode = 0;
    if (openHostLinkWithHandshake(socket, std::move(tls), handshake, errorCode) == -1) {
        reportBareFormatted("send failed with error: %d\r\n", errorCode);
        closeHostLink();
        return false;
    }
    printOk();
    return true;
}

}  // namespace

void formatHandshake(char* out, std::size_t size, const BridgeConfig& config) {
    boundedFormat(out, size, "%s~%s/%s.%s/%s", config.siteName, config.software, platformName(), architectureName(),
                  kVersion);
}

void runHostLink(BridgeConfig config) {
    HostSession& session = hostSession();
    char handshake[513];
    formatHandshake(handshake, sizeof handshake, config);
    printStampedLine("Starting up...");
    int started = socketStartup();
    if (started != 0) {
        reportFormatted("WSAStartup failed with error: %d", started);
        return;
    }
    if (openLink(config, handshake)) {
        setHostLinkDown(false);
        session.everConnected = true;
        if (session.retryCount > 0) appendLog("Reconnection successful");
        session.retryCount = 0;
        receiveLoop(config);
        setHostLinkDown(true);
        closeHostLink();
    }
    socketCleanup();
}

}  // namespace kolv
