#include "clients/client_thread.h"

#include <cstring>
#include <string>
#include <vector>

#include "clients/client_slot_table.h"
#include "config/site_settings.h"
#include "link/host_senders.h"
#include "link/link_status.h"
#include "output/bounded_format.h"
#include "output/report.h"
#include "packet/packet_text.h"

namespace kolv {
namespace {

inline constexpr std::size_t kClientReadSize = 513;
// A kept line end-less tail goes out as it stands past this size, or when
// the client has sent nothing more for kClientTailWaitMs.
inline constexpr std::size_t kClientTailLimit = 512;
inline constexpr int kClientTailWaitMs = 50;

struct ClientRelayState {
    int slot;
    char userName[30] = {};
    bool loggedOff = false;
};

void announceJoin(int slot, const char* userName) {
    char line[100];
    boundedFormat(line, sizeof line, "%s entered chat (slot #%d occupied).", userName, slot);
    reportLine(line, verboseLogging());
    char latencyText[20];
    formatLatencyText(latencyText, lastLatencyMs());
    char packet[kPacketBufferSize];
    formatServerNotice(packet, latencyText);
    sendClientPacket(slot, packet);
}

// One unit of the client's text: name rule, logoff mark, relay.
void relayUnit(ClientRelayState& client, const std::string& unit) {
    if (client.userName[0] == '\0') {
        std::vector<std::string> pieces = splitFields(unit, '~');
        if (pieces.size() >= 7) {
            boundedCopy(client.userName, sizeof client.userName, pieces[0].c_str());
            announceJoin(client.slot, client.userName);
        }
    }
    if (unit.find("~LOGOFF~") != std::string::npos) client.loggedOff = true;
    sendHostPacket(unit.c_str());
}

// Relays the whole lines of pending and keeps the rest, unless the rest has
// grown past the limit without a line end.
void relayWholeLines(ClientRelayState& client, std::string& pending) {
    std::size_t end = pending.rfind('\n');
    if (end != std::string::npos) {
        relayUnit(client, pending.substr(0, end + 1));
        pending.erase(0, end + 1);
    }
    if (pending.size() > kClientTailLimit) {
        relayUnit(client, pending);
        pending.clear();
    }
}

void announceLeave(ClientRelayState& client) {
    if (client.userName[0] != '\0' && !client.loggedOff) {
        char notice[141];
        boundedFormat(notice, sizeof notice, "|08- %s has disconnected.", client.userName);
        sendMsgPacket(client.userName, notice);
    }
}

}  // namespace

void clientThread(ClientStart start) {
    const SocketHandle clientSocket = start.clientSocket;
    ClientRelayState client{start.slot};
    // Every write to the host holds whole lines of this client only, so
    // another client's text never lands inside one of its packets.
    std::string pending;
    char buffer[kClientReadSize + 1];  // one more byte keeps a full read terminated
    for (;;) {
        if (!pending.empty() && waitSocket(clientSocket, WaitFor::Read, kClientTailWaitMs) == 0) {
            relayUnit(client, pending);
            pending.clear();
            continue;
        }
        std::memset(buffer, 0, sizeof buffer);
        if (socketRecv(clientSocket, buffer, kClientReadSize) <= 0) break;
        pending.append(buffer);  // up to a zero byte, as the text the client sent
        relayWholeLines(client, pending);
    }
    if (!pending.empty()) relayUnit(client, pending);
    announceLeave(client);
    releaseClientSlot(client.slot);
    closeSocket(clientSocket);
    char line[100];
    boundedFormat(line, sizeof line, "%s has left chat (slot #%d cleared).", client.userName, client.slot);
    reportLine(line, verboseLogging());
}

}  // namespace kolv
