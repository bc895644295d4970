#pragma once
// Connected local clients by slot. Only the listener fills a slot and only
// its client thread frees it. A slot's send lock is held for each send to it
// and while its thread frees it, so sends to one client never interleave and
// never reach a descriptor after its close. Lock order: a slot's send lock,
// then the console and log locks (a send reports under it).
#include "platform/socket.h"

namespace kolv {

inline constexpr int kClientSlots = 50;

// Listener thread: stores socket in the lowest free slot and returns the
// slot, or -1 when every slot is taken.
int occupyFreeSlot(SocketHandle socket);

// The socket in slot, or the invalid socket when the slot is free. Any thread.
SocketHandle clientSocketAt(int slot);

// Sends packet to the client in slot. Pauses 5 ms after the send, and
// reports a failed send on the console and in the log. False when the send
// failed or the slot has been freed meanwhile. Any thread; takes the slot's
// send lock.
bool sendClientPacket(int slot, const char* packet);

// sendClientPacket to every occupied slot, in ascending order, the k-th send
// starting 5 ms x (k - 1) after the first started, and at least 4.5 ms after
// the one before it (BroadcastSchedule). The main thread (the receive loop):
// it shows itself alive before each send.
void broadcastToClients(const char* packet);

// The slot's client thread: frees slot; after this returns no send reaches
// its socket. Takes the slot's send lock.
void releaseClientSlot(int slot);

// How many slots are occupied now. Any thread.
int occupiedSlotCount();

// Ends every client's connection in both directions: each client reads the
// end, and its own thread frees its slot. Any thread; takes each slot's send lock.
void closeAllClients();

}  // namespace kolv
