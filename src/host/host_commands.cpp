#include "host/host_commands.h"

#include <cerrno>
#include <cstdio>

#include "clients/client_slot_table.h"
#include "config/site_settings.h"
#include "host/host_session.h"
#include "link/host_senders.h"
#include "output/bounded_format.h"
#include "output/report.h"
#include "packet/packet_text.h"
#include "platform/system.h"

namespace kolv {

void announceSite(const BridgeConfig& config) {
    HostSession& session = hostSession();
    sendCmdPacket("", "", "INFOWEB:%s", config.infoWeb);
    sendCmdPacket("", "", "INFOTEL:%s", config.infoTel);
    sendCmdPacket("", "", "INFOSSH:%s", config.infoSsh);
    sendCmdPacket("", "", "INFOSYS:%s", config.infoSys);
    sendCmdPacket("", "", "INFODSC:%s", config.infoDsc);
    sendCmdPacket(siteSettings().pidText, "", "IMALIVE:%s", config.siteName);
    char capabilities[20];
    boundedFormat(capabilities, sizeof capabilities, "%s%s%s", "MCI", config.useTls != 0 ? " SSL" : "", " CTCP");
    sendCmdPacket("", "", "CAPABILITIES: %s", capabilities);
    sleepMs(20);
    if (session.reconnectPending) {
        char packet[kPacketBufferSize];
        formatServerNotice(packet, "RECONNECT");
        broadcastToClients(packet);
        session.reconnectPending = false;
    }
}

void answerPing(const BridgeConfig& config) {
    char timeText[20];
    boundedFormat(timeText, sizeof timeText, "%lld", static_cast<long long>(nowUnixMs()));
    sendCmdPacket(siteSettings().pidText, timeText, "IMALIVE:%s", config.siteName);
    sendCmdPacket("", "", "STATS", "");
}

namespace {

// False with the system's error code when the file cannot be opened or written.
bool writeStatsFile(const char* text, int& error) {
    std::FILE* file = std::fopen(kStatsFileName, "w+");
    if (file == nullptr) {
        error = errno;
        return false;
    }
    bool written = std::fprintf(file, "%s", text) >= 0;
    if (!written) error = errno;
    if (std::fclose(file) != 0 && written) {
        error = errno;
        written = false;
    }
    return written;
}

}  // namespace

void storeStats(const char* statsText) {
    char text[30];
    boundedCopy(text, sizeof text, statsText);
    int error = 0;
    HostSession& session = hostSession();
    if (writeStatsFile(text, error) || session.statsFailureTold) return;
    // Said once: a folder that refuses one STATS text refuses them all.
    session.statsFailureTold = true;
    reportUnwritable(kStatsFileName, error, "Host statistics are not saved.", true);
}

}  // namespace kolv
