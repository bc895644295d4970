#include "clients/client_slot_table.h"

#include <cstring>
#include <string>

#include "app/bridge_state.h"
#include "output/append_log.h"
#include "output/bounded_format.h"
#include "output/console_line.h"
#include "packet/remove_all.h"
#include "platform/send_all.h"
#include "platform/system.h"

namespace kolv {

bool sendClientPacket(int slot, const char* packet) {
    BridgeState& state = bridgeState();
    ClientSlotTable& table = state.clientSlots;
    char message[512];
    SocketHandle socket;
    long sent;
    int error = 0;
    {
        std::lock_guard<std::mutex> lock(table.sendMutex[static_cast<std::size_t>(slot)]);
        socket = table.sockets[static_cast<std::size_t>(slot)].load();
        if (socket == kInvalidSocket) return false;  // the client left meanwhile
        if (state.verbose.load()) {
            std::string shown = removeAll(packet, "\n");
            boundedFormat(message, sizeof message, "sendClientPacket \"%s\" to socket %d", shown.c_str(),
                          static_cast<int>(socket));
            consoleLine(message);
            appendLog(message);
        }
        std::size_t wentOut = 0;
        sent = socketSendAll(socket, packet, std::strlen(packet), wentOut);
        if (sent < 0) {
            error = lastSocketError();
            // A timed-out client has taken nothing for seconds, and one cut
            // mid-packet would read the next packet glued to the cut one.
            // Ending its connection lets its own thread free the slot, so the
            // main thread does not wait on it again for every later packet.
            if (isWouldBlock(error) || wentOut > 0) shutdownBoth(socket);
        }
    }
    sleepMsExact(5);
    if (sent < 0) {
        boundedFormat(message, sizeof message, "sendClientPacket to client #%d failed with error: %d",
                      static_cast<int>(socket), error);
        consoleLine(message);
        appendLog(message);
        return false;
    }
    return true;
}

void broadcastToClients(const char* packet) {
    ClientSlotTable& table = bridgeState().clientSlots;
    for (int slot = 0; slot < kClientSlots; ++slot) {
        if (table.sockets[static_cast<std::size_t>(slot)].load() != kInvalidSocket) sendClientPacket(slot, packet);
    }
}

void releaseClientSlot(int slot) {
    ClientSlotTable& table = bridgeState().clientSlots;
    std::lock_guard<std::mutex> lock(table.sendMutex[static_cast<std::size_t>(slot)]);
    table.sockets[static_cast<std::size_t>(slot)].store(kInvalidSocket);
}

}  // namespace kolv
