#include "clients/listener_thread.h"

#include <climits>
#include <system_error>
#include <thread>

#include "clients/client_slot_table.h"
#include "clients/client_thread.h"
#include "link/lifecycle.h"
#include "link/link_status.h"
#include "link/service_status.h"
#include "output/console_line.h"
#include "output/report.h"
#include "platform/net_headers.h"
#include "platform/resolve.h"
#include "platform/system.h"

namespace kolv {
namespace {

void admitClient(SocketHandle client) {
    // Set before the slot makes the client visible to senders.
    setSendTimeout(client, kClientSendTimeoutMs);
    setNoDelay(client);
    int slot = occupyFreeSlot(client);
    if (slot < 0) {
        closeSocket(client);  // all slots taken: refuse at once
        return;
    }
    try {
        std::thread(clientThread, ClientStart{client, slot}).detach();
    } catch (const std::system_error&) {
        releaseClientSlot(slot);
        closeSocket(client);
    }
}

// The listening socket on "localhost" and port, or the invalid socket after
// reporting why.
SocketHandle openListeningSocket(const char* port) {
    AddressList list;
    int resolved = resolveStream("localhost", port, true, list);
    if (resolved != 0) {
        printBareText("getaddrinfo (clients) failed with error: %d\n", resolved);
        return kInvalidSocket;
    }
    UniqueSocket listening(openSocket(list->ai_family, list->ai_socktype, list->ai_protocol));
    if (listening.get() == kInvalidSocket) {
        printBareText("client socket failed with error: %d\n", lastSocketError());
        return kInvalidSocket;
    }
    setReuseAddress(listening.get());
    if (bindSocket(listening.get(), list->ai_addr, list->ai_addrlen) != 0) {
        reportBareFormatted("client bind failed with error: %d", lastSocketError());
        return kInvalidSocket;
    }
    return listening.release();
}

}  // namespace

int listenerThread(const char* const* portRef) {
    const char* port = *portRef;
    waitForHostLinkUp();

    int started = socketStartup();
    if (started != 0) {
        printStampedText("WSAStartup failed with error: %d\r\n", started);
        return 1;
    }
    SocketHandle listening = openListeningSocket(port);
    if (listening == kInvalidSocket) {
        socketCleanup();
        return 1;
    }
    printStampedLine("Ready for clients.");
    printStampedLine("To exit any time, press CTRL+C.");
    serviceReady();

    for (;;) {
        if (listenSocket(listening, INT_MAX) != 0) return 0;
        // Waits in slices: the listener shows it is alive, and takes no client once a stop began.
        int waited = waitSocket(listening, WaitFor::Read, 1000);
        noteAlive(Beat::Listener);
        if (stopRequested()) {
            closeSocket(listening);
            return 0;
        }
        if (waited == 0) continue;
        SocketHandle client = acceptSocket(listening);
        if (client == kInvalidSocket) {
            // Out of descriptors or a dropped connection: do not spin on it.
            sleepMs(10);
            continue;
        }
        admitClient(client);
    }
}

}  // namespace kolv
