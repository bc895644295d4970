#pragma once
#include <array>
#include <atomic>
#include <mutex>

#include "platform/socket.h"

namespace kolv {

inline constexpr int kClientSlots = 50;

// Connected local clients by slot; kInvalidSocket marks a free slot. Only the
// listener fills a slot and only its client thread frees it. `sendMutex[i]`
// is held for each send to slot i and while its thread frees it, so sends to
// one client never interleave and never reach a descriptor after its close.
struct ClientSlotTable {
    std::array<std::atomic<SocketHandle>, kClientSlots> sockets;
    std::array<std::mutex, kClientSlots> sendMutex;
};

// Sends packet to the client in slot. Pauses 5 ms after the send, and
// reports a failed send on the console and in the log. False when the send
// failed or the slot has been freed meanwhile.
bool sendClientPacket(int slot, const char* packet);

// sendClientPacket to every occupied slot, in ascending order.
void broadcastToClients(const char* packet);

// Frees slot; after this returns no send reaches its socket.
void releaseClientSlot(int slot);

}  // namespace kolv
