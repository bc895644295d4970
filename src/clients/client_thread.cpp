#include "clients/client_thread.h"

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "clients/client_slot_table.h"
#include "config/site_settings.h"
#include "link/host_senders.h"
#include "link/link_status.h"
#include "output/bounded_format.h"
#include "output/report.h"
#include "packet/packet_text.h"
#include "platform/system.h"

namespace kolv {
namespace {

inline constexpr std::size_t kClientReadSize = 513;
// A tail without its line end waits for it up to this size. A longer line is
// dropped: relayed in pieces, another client's packet could land inside it.
inline constexpr std::size_t kClientLineLimit = 4096;
// A tail that is one whole packet goes on, its line end added, once the
// client has sent nothing more for this long: clients that never end their
// lines keep working.
inline constexpr int kClientTailWaitMs = 50;

struct ClientRelayState {
    int slot = -1;
    char userName[30] = {};
    bool loggedOff = false;
    std::string pending;           // the text after the last line end relayed
    bool dropping = false;         // the rest of a dropped line follows, up to its line end
    std::size_t droppedSince = 0;  // bytes of that rest dropped so far
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

// One unit of the client's text, whole lines only: name rule, logoff mark, relay.
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

void relayPendingWithLineEnd(ClientRelayState& client) {
    relayUnit(client, client.pending + "\n");
    client.pending.clear();
}

// A lost piece of a line is said aloud, never passed on half.
void reportDrop(const ClientRelayState& client, std::size_t bytes) {
    const char* user = client.userName[0] != '\0' ? client.userName : "a client";
    reportFormatted("Dropped %d bytes from %s (slot #%d): no line end.", clampToInt(bytes), user, client.slot);
}

// Drops the rest of a dropped line up to its line end; returns what follows it.
std::string_view skipDropped(ClientRelayState& client, std::string_view text) {
    const std::size_t end = text.find('\n');
    const std::size_t taken = end == std::string_view::npos ? text.size() : end + 1;
    client.droppedSince += taken;
    if (end != std::string_view::npos) {
        reportDrop(client, client.droppedSince);
        client.dropping = false;
    }
    return text.substr(taken);
}

// Takes one read's text: relays the whole lines of what is pending and keeps
// the rest, unless the rest has grown too long to wait for its line end.
void takeText(ClientRelayState& client, std::string_view text) {
    if (client.dropping) text = skipDropped(client, text);
    client.pending.append(text);
    const std::size_t end = client.pending.rfind('\n');
    if (end != std::string::npos) {
        relayUnit(client, client.pending.substr(0, end + 1));
        client.pending.erase(0, end + 1);
    }
    if (client.pending.size() > kClientLineLimit) {
        reportDrop(client, client.pending.size());
        client.pending.clear();
        client.dropping = true;
        client.droppedSince = 0;
    }
}

// What a leaving client left without a line end: a whole packet goes on,
// anything else is dropped.
void finishTail(ClientRelayState& client) {
    if (isWholePacket(client.pending)) {
        relayPendingWithLineEnd(client);
    } else if (!client.pending.empty()) {
        reportDrop(client, client.pending.size());
    }
    if (client.dropping && client.droppedSince > 0) reportDrop(client, client.droppedSince);
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
    ClientRelayState client;
    client.slot = start.slot;
    // Every write to the host holds whole lines of this client only, so
    // another client's text never lands inside one of its packets.
    char buffer[kClientReadSize + 1];  // one more byte keeps a full read terminated
    for (;;) {
        if (isWholePacket(client.pending) && waitSocket(clientSocket, WaitFor::Read, kClientTailWaitMs) == 0) {
            relayPendingWithLineEnd(client);
            continue;
        }
        std::memset(buffer, 0, sizeof buffer);
        if (socketRecv(clientSocket, buffer, kClientReadSize) <= 0) break;
        takeText(client, buffer);  // up to a zero byte, as the text the client sent
    }
    finishTail(client);
    announceLeave(client);
    releaseClientSlot(client.slot);
    closeSocket(clientSocket);
    char line[100];
    boundedFormat(line, sizeof line, "%s has left chat (slot #%d cleared).", client.userName, client.slot);
    reportLine(line, verboseLogging());
}

}  // namespace kolv
