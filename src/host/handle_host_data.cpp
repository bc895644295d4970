#include "host/handle_host_data.h"

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "clients/client_slot_table.h"
#include "config/site_settings.h"
#include "host/host_commands.h"
#include "link/link_status.h"
#include "output/append_log.h"
#include "output/bounded_format.h"
#include "output/console_line.h"
#include "output/report.h"
#include "packet/packet_text.h"
#include "platform/system.h"

namespace kolv {
namespace {

void reportInvalid(const char* line) {
    if (verboseLogging()) printStampedText("WARNING: invalid packet: \"%s\"\r\n", line);
    appendLog("WARNING: invalid packet:");
    appendLog(line);
}

void measureLatency(const char* line, const std::vector<std::string>& fields) {
    std::int64_t sentAtMs = 0;
    const char* body = fields.size() >= 7 ? fields[6].c_str() : nullptr;
    if (!matchTrackedPacket(linkLatencyTracker(), packetChecksum(line), body, sentAtMs)) return;
    std::int64_t latency = nowUnixMs() - sentAtMs;
    storeLastLatencyMs(latency);
    char latencyText[20];
    formatLatencyText(latencyText, latency);
    char packet[kPacketBufferSize];
    formatServerNotice(packet, latencyText);
    broadcastToClients(packet);
    if (verboseLogging()) reportLine(latencyText);
}

// A message of the host itself: trace, control characters out, command or pass-on.
void handleHostMessage(char* line, const std::string& body, const BridgeConfig& config) {
    bool verbose = verboseLogging();
    if (verbose) {
        sleepMs(10);
        reportFormatted("received \"%s\" from host", removeAll(line, "\n").c_str());
    }
    for (char* p = line; *p != '\0'; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c >= 7 && c <= 31 && c != 10) {
            if (verbose) printStampedText("replacing ascii %d (%c).\r\n", c, c);
            *p = '_';
        }
    }
    if (body == "HELLO") {
        announceSite(config);
    } else if (equalsIgnoringCase(body, "ping")) {
        answerPing(config);
    } else if (body.compare(0, 6, "STATS:") == 0) {
        storeStats(body.c_str() + 6);
    } else {
        broadcastToClients(line);
    }
}

void handleLine(const std::string& piece, const BridgeConfig& config) {
    char line[kPacketBufferSize];
    boundedFormat(line, sizeof line, "%s\n", piece.c_str());
    if (std::strchr(line, '~') == nullptr) return;
    std::vector<std::string> fields = splitFields(line, '~');
    measureLatency(line, fields);
    if (countChar(line, '~') < 6) {
        reportInvalid(line);
        return;
    }
    const std::string& fromUser = fields[0];
    const std::string& body = fields[6];
    if (body.empty()) return;
    if (fromUser != "SERVER") {
        broadcastToClients(line);
        return;
    }
    handleHostMessage(line, body, config);
}

}  // namespace

void handleHostData(HostReadCarry& carry, const BridgeConfig& config, const char* text) {
    std::vector<std::string> pieces = splitFields(text, '\n');
    std::size_t count = pieces.size();
    for (std::size_t i = 0; i < count; ++i) {
        const std::string& piece = pieces[i];
        // The last piece waits for the rest of its line, unless it is a whole
        // packet on its own in a read without any line end (hosts that leave
        // the line end out still work).
        bool incomplete = i + 1 == count && !piece.empty() && (count > 1 || !isWholePacket(piece));
        if (i == 0 && carry.dropNextPiece) {
            // More of an over-long line that was already reported; it goes on
            // until a read brings its line end.
            carry.dropNextPiece = count == 1;
            continue;
        }
        if (piece.size() > kMaxLineCharacters) {
            // Too long for a packet: passing on a cut line would leave every
            // client's stream without its line end.
            reportInvalid(piece.substr(0, kMaxLineCharacters).c_str());
            // Without its line end yet, the rest of it is still to come.
            if (i + 1 == count) carry.dropNextPiece = true;
            continue;
        }
        if (incomplete) {
            if (verboseLogging()) {
                char line[kPacketBufferSize];
                boundedFormat(line, sizeof line, "%s\n", piece.c_str());
                printStampedText("partial packet detected: \"%s\"\r\n", line);
                appendLog("partial packet detected:");
                appendLog(line);
            }
            boundedCopy(carry.text, sizeof carry.text, piece.c_str());
            return;
        }
        handleLine(piece, config);
    }
}

}  // namespace kolv
