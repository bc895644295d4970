#include "link/host_senders.h"

#include <cstring>
#include <string>

#include "config/site_settings.h"
#include "link/host_link_io.h"
#include "link/link_status.h"
#include "output/bounded_format.h"
#include "output/report.h"
#include "packet/packet_text.h"
#include "platform/system.h"

namespace kolv {
namespace {

// Steps shared by the three senders: trace, one write, the 10 ms pause,
// failure report or tracker record.
bool sendToHost(const char* senderName, const char* text, bool track, bool isStats) {
    if (verboseLogging()) reportFormatted("%s \"%s\" to host", senderName, removeAll(text, "\n").c_str());
    int errorCode = 0;
    long written = writeHostLink(text, std::strlen(text), errorCode);
    sleepMs(10);
    if (written == -1) {
        reportFormatted("%s failed with error: %d", senderName, errorCode);
        return false;
    }
    if (track) trackPacket(linkLatencyTracker(), text, isStats);
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
    formatPacket(packet, "CLIENT", siteSettings().siteName, fromAux, "SERVER", toSite, "", body);
    return sendToHost("sendCmdPacket", packet, true, std::strcmp(format, "STATS") == 0);
}

bool sendMsgPacket(const char* user, const char* body) {
    char packet[kPacketBufferSize];
    formatPacket(packet, user, siteSettings().siteName, "", "NOTME", "", "", body);
    return sendToHost("sendMsgPacket", packet, true, false);
}

bool sendHostPacket(const char* text) {
    return sendToHost("sendHostPacket", text, std::strstr(text, "~NOTME~") == nullptr, false);
}

}  // namespace kolv
