#include "clients/listener_thread.h"

#include <cstdint>
#include <memory>
#include <system_error>
#include <thread>

#include "clients/client_slot_table.h"
#include "clients/client_thread.h"
#include "clients/listening_sockets.h"
#include "link/lifecycle.h"
#include "link/link_status.h"
#include "link/service_status.h"
#include "output/console_line.h"
#include "output/report.h"
#include "platform/system.h"

namespace kolv {
namespace {

// Lets a repeated report through at most once per gapMs. One thread only.
struct ReportPace {
    std::int64_t gapMs;
    std::int64_t lastMs = 0;
    bool ever = false;
    bool due() {
        const std::int64_t now = steadyMs();
        if (ever && now - lastMs < gapMs) return false;
        ever = true;
        lastMs = now;
        return true;
    }
};

void admitClient(SocketHandle client, ReportPace& fullReports) {
    // Set before the slot makes the client visible to senders.
    setSendTimeout(client, kClientSendTimeoutMs);
    setNoDelay(client);
    int slot = occupyFreeSlot(client);
    if (slot < 0) {
        closeSocket(client);  // all slots taken: refuse at once, without a byte
        if (fullReports.due()) {
            reportFormatted("Client table full (%d clients): a connection was closed.", kClientSlots);
        }
        return;
    }
    try {
        std::thread(clientThread, ClientStart{client, slot}).detach();
    } catch (const std::system_error&) {
        releaseClientSlot(slot);
        closeSocket(client);
    }
}

// Tries the set-up every retry wait until it succeeds, its failure said at
// most once a minute. False when a stop came first.
bool openWithRetries(const char* port, int retryWaitSeconds, ListeningSockets& sockets) {
    ReportPace failures{60000};
    for (;;) {
        noteAlive(Beat::Listener);
        if (stopRequested()) return false;
        if (openListeningSockets(port, retryWaitSeconds, failures.due(), sockets)) return true;
        if (pauseUnlessStopped(static_cast<std::int64_t>(retryWaitSeconds) * 1000, Beat::Listener)) return false;
    }
}

// Accepts on every listening socket until a stop. Waits in slices: the
// listener shows it is alive, and takes no client once a stop began.
void acceptClients(const ListeningSockets& sockets) {
    const int count = static_cast<int>(sockets.size());
    std::vector<SocketHandle> handles;
    for (const UniqueSocket& listening : sockets) handles.push_back(listening.get());
    auto readable = std::make_unique<bool[]>(sockets.size());
    ReportPace fullReports{1000};
    for (;;) {
        int waited = waitReadable(handles.data(), readable.get(), count, 1000);
        noteAlive(Beat::Listener);
        if (stopRequested()) return;
        if (waited < 0) sleepMs(10);
        for (int i = 0; i < count; ++i) {
            if (!readable[static_cast<std::size_t>(i)]) continue;
            SocketHandle client = acceptSocket(handles[static_cast<std::size_t>(i)]);
            if (client == kInvalidSocket) {
                // Out of descriptors or a dropped connection: do not spin on it.
                sleepMs(10);
                continue;
            }
            admitClient(client, fullReports);
        }
    }
}

}  // namespace

int listenerThread(const char* const* portRef, int retryWaitSeconds) {
    const char* port = *portRef;
    waitForHostLinkUp();

    int started = socketStartup();
    if (started != 0) {
        printStampedText("WSAStartup failed with error: %d\r\n", started);
        return 1;
    }
    ListeningSockets sockets;
    if (!openWithRetries(port, retryWaitSeconds, sockets)) return 0;
    printStampedLine("Ready for clients.");
    printStampedLine("To exit any time, press CTRL+C.");
    serviceReady();
    acceptClients(sockets);
    return 0;
}

}  // namespace kolv
