#include "host/run_host_link.h"

#include <utility>

#include "clients/client_slot_table.h"
#include "config/site_settings.h"
#include "config/version.h"
#include "host/attempt_limit.h"
#include "host/host_session.h"
#include "host/open_tls.h"
#include "host/receive_loop.h"
#include "link/dead_link.h"
#include "link/host_link_io.h"
#include "link/lifecycle.h"
#include "link/link_status.h"
#include "link/service_status.h"
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
        noteAlive(Beat::Main);  // each connect is bounded; the resolution before it is not
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
    noteAlive(Beat::Main);
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

// A stop closes every client first; their departure notices go out on this
// link before it closes, within a bound.
void waitForClientsToLeave() {
    const std::int64_t end = steadyMs() + 1000;
    while (occupiedSlotCount() > 0 && steadyMs() < end) systemSleepMs(10);
}

// From the handshake to the link's end: the link up, the receive loop, the teardown.
void runOpenLink(const BridgeConfig& config, HostSession& session) {
    serviceLinked(config.host, config.port);  // before the listener wakes and says READY
    setHostLinkDown(false);
    if (session.retryCount > 0) appendLog("Reconnection successful");
    session.linkUpMs = steadyMs();
    session.linkMade = false;
    receiveLoop(config);
    if (steadyMs() - session.linkUpMs >= deadLinkMs()) markLinkMade(session);
    if (stopRequested()) waitForClientsToLeave();
    setHostLinkDown(true);
    closeHostLink();
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
    noteAlive(Beat::Main);
    int started = socketStartup();
    if (started != 0) {
        reportFormatted("WSAStartup failed with error: %d", started);
        return;
    }
    if (openLink(config, handshake)) runOpenLink(config, session);
    socketCleanup();
}

}  // namespace kolv
