#include "clients/client_slot_table.h"

#include <array>
#include <atomic>
#include <cstring>

#include "clients/broadcast_schedule.h"
#include "config/site_settings.h"
#include "link/lifecycle.h"
#include "link/service_status.h"
#include "output/report.h"
#include "packet/packet_text.h"
#include "platform/mutex.h"
#include "platform/send_all.h"
#include "platform/system.h"

namespace kolv {
namespace {

// The socket is stored under sendMutex and read without it where a stale
// answer is harmless: a send checks it again under the lock.
struct ClientSlot {
    Mutex sendMutex;
    std::atomic<SocketHandle> socket{kInvalidSocket};
};

ClientSlot& slotAt(int slot) {
    static auto* table = new std::array<ClientSlot, kClientSlots>();  // never destroyed: used by detached threads
    return (*table)[static_cast<std::size_t>(slot)];
}

// Occupied slots; changed under the slot's send lock with the slot itself.
std::atomic<int> occupied{0};

// One send to the slot's client, started at `started`; false with error set
// when it failed.
bool sendLocked(ClientSlot& slot, const char* packet, int& error, std::int64_t& started) REQUIRES(slot.sendMutex) {
    const SocketHandle socket = slot.socket.load();
    if (verboseLogging()) {
        reportFormatted("sendClientPacket \"%s\" to socket %d", removeAll(packet, "\n").c_str(),
                        static_cast<int>(socket));
    }
    std::size_t wentOut = 0;
    started = steadyMicros();
    if (socketSendAll(socket, packet, std::strlen(packet), wentOut) >= 0) return true;
    error = lastSocketError();
    // A timed-out client has taken nothing for seconds, and one cut
    // mid-packet would read the next packet glued to the cut one. Ending its
    // connection lets its own thread free the slot, so the main thread does
    // not wait on it again for every later packet.
    if (isWouldBlock(error) || wentOut > 0) shutdownBoth(socket);
    return false;
}

// One send to a slot, made under its send lock. No socket: the client left
// meanwhile and nothing was sent.
struct SlotSend {
    SocketHandle socket = kInvalidSocket;
    bool sent = false;
    int error = 0;
    std::int64_t started = 0;
    bool made() const { return socket != kInvalidSocket; }
};

SlotSend sendToSlot(int slotNumber, const char* packet) {
    SlotSend send;
    ClientSlot& slot = slotAt(slotNumber);
    MutexLock lock(slot.sendMutex);
    send.socket = slot.socket.load();
    if (!send.made()) return send;
    send.sent = sendLocked(slot, packet, send.error, send.started);
    return send;
}

void reportFailedSend(const SlotSend& send) {
    if (!send.made() || send.sent) return;
    reportFormatted("sendClientPacket to client #%d failed with error: %d", static_cast<int>(send.socket),
                    send.error);
}

}  // namespace

int occupyFreeSlot(SocketHandle socket) {
    // Only the listener fills slots, so a free slot stays free until stored.
    for (int i = 0; i < kClientSlots; ++i) {
        ClientSlot& slot = slotAt(i);
        if (slot.socket.load() != kInvalidSocket) continue;
        {
            MutexLock lock(slot.sendMutex);
            slot.socket.store(socket);
        }
        ++occupied;
        serviceClientsChanged(+1);
        return i;
    }
    return -1;
}

int occupiedSlotCount() { return occupied.load(); }

void closeAllClients() {
    for (int i = 0; i < kClientSlots; ++i) {
        ClientSlot& slot = slotAt(i);
        MutexLock lock(slot.sendMutex);
        if (slot.socket.load() != kInvalidSocket) shutdownBoth(slot.socket.load());
    }
}

SocketHandle clientSocketAt(int slot) { return slotAt(slot).socket.load(); }

bool sendClientPacket(int slot, const char* packet) {
    const SlotSend send = sendToSlot(slot, packet);
    if (!send.made()) return false;
    pauseUntilMicros(steadyMicros() + kClientPauseMicros);
    reportFailedSend(send);
    return send.sent;
}

// The sends keep to BroadcastSchedule's grid, so neither their own time nor a
// late wake-up adds up along the table.
void broadcastToClients(const char* packet) {
    BroadcastSchedule schedule;
    for (int slot = 0; slot < kClientSlots; ++slot) {
        if (clientSocketAt(slot) == kInvalidSocket) continue;
        noteAlive(Beat::Main);  // the receive loop turns, though slowly when clients do not read
        const SlotSend send = sendToSlot(slot, packet);
        if (!send.made()) continue;
        pauseUntilMicros(schedule.nextStartAfter(send.started));
        reportFailedSend(send);
    }
}

void releaseClientSlot(int slotNumber) {
    ClientSlot& slot = slotAt(slotNumber);
    {
        MutexLock lock(slot.sendMutex);
        slot.socket.store(kInvalidSocket);
    }
    --occupied;
    serviceClientsChanged(-1);
}

}  // namespace kolv
