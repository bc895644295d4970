#include "host/host_commands.h"

#include <cstdio>

#include "clients/client_slot_table.h"
#include "config/site_settings.h"
#include "host/host_session.h"
#include "link/host_senders.h"
#include "output/bounded_format.h"
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

void storeStats(const char* statsText) {
    char text[30];
    boundedCopy(text, sizeof text, statsText);
    std::FILE* file = std::fopen(kStatsFileName, "w+");
    if (file == nullptr) return;
    std::fprintf(file, "%s", text);
    std::fclose(file);
}

}  // namespace kolv
