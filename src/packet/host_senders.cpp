#include "packet/host_senders.h"

#include <cstring>
#include <string>

#include "app/bridge_state.h"
#include "host/host_link_io.h"
#include "output/append_log.h"
#include "output/bounded_format.h"
#include "output/console_line.h"
#include "packet/format_packet.h"
#include "packet/remove_all.h"
#include "platform/system.h"

namespace kolv {
namespace {

// Steps shared by the three senders: trace, one write, the 10 ms pause,
// failure report or tracker record.
bool sendToHost(const char* senderName, const char* text, bool track, bool isStats) {
    BridgeState& state = bridgeState();
    char message[512];
    if (state.verbose.load()) {
        std::string shown = removeAll(text, "\n");
        boundedFormat(message, sizeof message, "%s \"%s\" to host", senderName, shown.c_str());
        consoleLine(message);
        appendLog(message);
    }
    int errorCode = 0;
    long written = writeHostLink(text, std::strlen(text), errorCode);
    sleepMs(10);
    if (written == -1) {
        boundedFormat(message, sizeof message, "%s failed with error: %d", senderName, errorCode);
        consoleLine(message);
        appendLog(message);
        return false;
    }
    if (track) trackPacket(state.latencyTracker, text, isStats);
    return true;
}

}  // namespace

bool sendCmdPacket(const char* fromAux, const char* toSite, const char* format, const char* argument) {
    char body[141];
    if (argument[0] != '\0') {
        // Callers pass only the constant command formats, each with at most one %s.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        boundedFormat(body, sizeof body, format, argument);
#pragma GCC diagnostic pop
    } else {
        boundedCopy(body, sizeof body, format);
    }
    char packet[kPacketBufferSize];
    formatPacket(packet, "CLIENT", bridgeState().siteName, fromAux, "SERVER", toSite, "", body);
    return sendToHost("sendCmdPacket", packet, true, std::strcmp(format, "STATS") == 0);
}

bool sendMsgPacket(const char* user, const char* body) {
    char packet[kPacketBufferSize];
    formatPacket(packet, user, bridgeState().siteName, "", "NOTME", "", "", body);
    return sendToHost("sendMsgPacket", packet, true, false);
}

bool sendHostPacket(const char* text) {
    return sendToHost("sendHostPacket", text, std::strstr(text, "~NOTME~") == nullptr, false);
}

}  // namespace kolv
