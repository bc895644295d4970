#pragma once
// BridgeState: what the main, listener and client threads share. Flags,
// the latency figure and slot entries are atomics; the rest is guarded as
// each comment says.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "clients/client_slot_table.h"
#include "packet/latency_tracker.h"
#include "platform/socket.h"

struct ssl_st;
struct ssl_ctx_st;

namespace kolv {

struct BridgeState {
    // Written by start-up before any other thread exists; read-only afterwards.
    char pidText[8] = {};
    char siteName[140] = {};
    std::atomic<bool> verbose{false};

    std::atomic<bool> everConnected{false};
    std::atomic<bool> reconnectPending{false};
    std::atomic<int> retryCount{0};

    // Host link. `linkMutex` is held for every write to the link, for every
    // use of tlsConnection, and while an attempt opens or closes the link, so
    // a sender never touches a released TLS object or a closed descriptor.
    // The receive loop waits for input outside the lock (plain sockets may be
    // read without it: the kernel keeps a send and a recv on one socket apart).
    std::mutex linkMutex;
    std::atomic<SocketHandle> hostSocket{kInvalidSocket};
    std::atomic<bool> tlsActive{false};
    ssl_ctx_st* tlsContext = nullptr;  // guarded by linkMutex once the link is up
    ssl_st* tlsConnection = nullptr;   // guarded by linkMutex once the link is up
    // Set when a write failed after part of it went out, or TLS failed for
    // good: the stream is cut, so nothing more is written to this link.
    bool linkBroken = false;  // guarded by linkMutex

    // True while no host link is up; the listener waits on linkUpChanged.
    std::atomic<bool> hostLinkDown{true};
    std::mutex linkUpMutex;
    std::condition_variable linkUpChanged;

    std::atomic<std::int64_t> lastLatencyMs{0};
    LatencyTracker latencyTracker;
    ClientSlotTable clientSlots;
};

// The process-wide instance. Never destroyed: detached threads use it until
// the process ends.
BridgeState& bridgeState();

// Frees every slot and tracker entry (start-up step 3).
void initialiseBridgeState(BridgeState& state);

// Sets hostLinkDown and wakes the listener when it clears.
void setHostLinkDown(BridgeState& state, bool down);

}  // namespace kolv
