#include "clients/client_thread.h"

#include <cstring>
#include <string>
#include <vector>

#include "app/bridge_state.h"
#include "clients/client_slot_table.h"
#include "output/append_log.h"
#include "output/bounded_format.h"
#include "output/console_line.h"
#include "packet/format_packet.h"
#include "packet/host_senders.h"
#include "packet/split_fields.h"

namespace kolv {
namespace {

inline constexpr std::size_t kClientReadSize = 513;

void announceJoin(int slot, const char* userName) {
    BridgeState& state = bridgeState();
    char line[100];
    boundedFormat(line, sizeof line, "%s entered chat (slot #%d occupied).", userName, slot);
    consoleLine(line);
    if (state.verbose.load()) appendLog(line);
    char latencyText[20];
    boundedFormat(latencyText, sizeof latencyText, "LATENCY:%lld",
                  static_cast<long long>(state.lastLatencyMs.load()));
    char packet[kPacketBufferSize];
    formatPacket(packet, "SERVER", "", "", "CLIENT", "", "", latencyText);
    sendClientPacket(slot, packet);
}

}  // namespace

void clientThread(ClientStart start) {
    BridgeState& state = bridgeState();
    const SocketHandle clientSocket = start.clientSocket;
    const int slot = start.slot;
    char userName[30] = {};
    bool loggedOff = false;
    char buffer[kClientReadSize + 1];  // one more byte keeps a full read terminated

    for (;;) {
        std::memset(buffer, 0, sizeof buffer);
        if (socketRecv(clientSocket, buffer, kClientReadSize) <= 0) break;
        if (userName[0] == '\0') {
            std::vector<std::string> pieces = splitFields(buffer, '~');
            if (pieces.size() >= 7) {
                boundedCopy(userName, sizeof userName, pieces[0].c_str());
                announceJoin(slot, userName);
            }
        }
        if (std::strstr(buffer, "~LOGOFF~") != nullptr) loggedOff = true;
        sendHostPacket(buffer);
    }

    if (userName[0] != '\0' && !loggedOff) {
        char notice[141];
        boundedFormat(notice, sizeof notice, "|08- %s has disconnected.", userName);
        sendMsgPacket(userName, notice);
    }
    releaseClientSlot(slot);
    closeSocket(clientSocket);
    char line[100];
    boundedFormat(line, sizeof line, "%s has left chat (slot #%d cleared).", userName, slot);
    consoleLine(line);
    if (state.verbose.load()) appendLog(line);
}

}  // namespace kolv
