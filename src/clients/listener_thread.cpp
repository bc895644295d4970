#include "clients/listener_thread.h"

#include <climits>
#include <mutex>
#include <system_error>
#include <thread>

#include "app/bridge_state.h"
#include "clients/client_slot_table.h"
#include "clients/client_thread.h"
#include "output/append_log.h"
#include "output/bounded_format.h"
#include "output/console_line.h"
#include "platform/net_headers.h"
#include "platform/system.h"

namespace kolv {
namespace {

void waitForFirstHostLink(BridgeState& state) {
    std::unique_lock<std::mutex> lock(state.linkUpMutex);
    state.linkUpChanged.wait(lock, [&] { return !state.hostLinkDown.load(); });
}

// Lowest free slot, or -1. Only this thread fills slots, so the slot stays
// free until it is stored.
int findFreeSlot(const ClientSlotTable& table) {
    for (int slot = 0; slot < kClientSlots; ++slot) {
        if (table.sockets[static_cast<std::size_t>(slot)].load() == kInvalidSocket) return slot;
    }
    return -1;
}

void admitClient(BridgeState& state, SocketHandle client) {
    int slot = findFreeSlot(state.clientSlots);
    if (slot < 0) {
        closeSocket(client);  // all slots taken: refuse at once
        return;
    }
    setSendTimeout(client, kClientSendTimeoutMs);
    setNoDelay(client);
    state.clientSlots.sockets[static_cast<std::size_t>(slot)].store(client);
    try {
        std::thread(clientThread, ClientStart{client, slot}).detach();
    } catch (const std::system_error&) {
        releaseClientSlot(slot);
        closeSocket(client);
    }
}

}  // namespace

int listenerThread(const char* const* portRef) {
    BridgeState& state = bridgeState();
    const char* port = *portRef;
    waitForFirstHostLink(state);

    int started = socketStartup();
    if (started != 0) {
        openText("WSAStartup failed with error: %d\r\n", started);
        return 1;
    }
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    int resolved = getaddrinfo("localhost", port, &hints, &list);
    if (resolved != 0) {
        consoleRaw("getaddrinfo (clients) failed with error: %d\n", resolved);
        socketCleanup();
        return 1;
    }
    SocketHandle listening = openSocket(list->ai_family, list->ai_socktype, list->ai_protocol);
    if (listening == kInvalidSocket) {
        consoleRaw("client socket failed with error: %d\n", lastSocketError());
        freeaddrinfo(list);
        socketCleanup();
        return 1;
    }
    setReuseAddress(listening);
    if (bindSocket(listening, list->ai_addr, list->ai_addrlen) != 0) {
        char message[50];
        boundedFormat(message, sizeof message, "client bind failed with error: %d", lastSocketError());
        plainLine(message);
        appendLog(message);
        freeaddrinfo(list);
        closeSocket(listening);
        socketCleanup();
        return 1;
    }
    freeaddrinfo(list);
    consoleLine("Ready for clients.");
    consoleLine("To exit any time, press CTRL+C.");

    for (;;) {
        if (listenSocket(listening, INT_MAX) != 0) return 0;
        SocketHandle client = acceptSocket(listening);
        if (client == kInvalidSocket) {
            // Out of descriptors or a dropped connection: do not spin on it.
            sleepMs(10);
            continue;
        }
        admitClient(state, client);
    }
}

}  // namespace kolv
