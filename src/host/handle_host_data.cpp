#include "host/handle_host_data.h"

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "app/bridge_state.h"
#include "clients/client_slot_table.h"
#include "host/host_commands.h"
#include "output/append_log.h"
#include "output/bounded_format.h"
#include "output/console_line.h"
#include "packet/format_packet.h"
#include "packet/packet_checksum.h"
#include "packet/remove_all.h"
#include "packet/split_fields.h"
#include "platform/system.h"

namespace kolv {
namespace {

bool equalsIgnoringCase(const std::string& text, const char* word) {
    std::size_t n = std::strlen(word);
    if (text.size() != n) return false;
    for (std::size_t i = 0; i < n; ++i) {
        char a = text[i];
        char b = word[i];
        if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
        if (a != b) return false;
    }
    return true;
}

void reportInvalid(const char* line) {
    if (bridgeState().verbose.load()) openText("WARNING: invalid packet: \"%s\"\r\n", line);
    appendLog("WARNING: invalid packet:");
    appendLog(line);
}

void measureLatency(const char* line, const std::vector<std::string>& fields) {
    BridgeState& state = bridgeState();
    std::int64_t sentAtMs = 0;
    const char* body = fields.size() >= 7 ? fields[6].c_str() : nullptr;
    if (!matchTrackedPacket(state.latencyTracker, packetChecksum(line), body, sentAtMs)) return;
    std::int64_t latency = nowUnixMs() - sentAtMs;
    state.lastLatencyMs.store(latency);
    char latencyText[20];
    boundedFormat(latencyText, sizeof latencyText, "LATENCY:%lld", static_cast<long long>(latency));
    char packet[kPacketBufferSize];
    formatPacket(packet, "SERVER", "", "", "CLIENT", "", "", latencyText);
    broadcastToClients(packet);
    if (state.verbose.load()) {
        consoleLine(latencyText);
        appendLog(latencyText);
    }
}

// A message of the host itself: trace, control characters out, command or pass-on.
void handleHostMessage(char* line, const std::string& body, const BridgeConfig& config) {
    bool verbose = bridgeState().verbose.load();
    if (verbose) {
        sleepMs(10);
        std::string shown = removeAll(line, "\n");
        char message[512];
        boundedFormat(message, sizeof message, "received \"%s\" from host", shown.c_str());
        consoleLine(message);
        appendLog(message);
    }
    for (char* p = line; *p != '\0'; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c >= 7 && c <= 31 && c != 10) {
            if (verbose) openText("replacing ascii %d (%c).\r\n", c, c);
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
    BridgeState& state = bridgeState();
    std::vector<std::string> pieces = splitFields(text, '\n');
    std::size_t count = pieces.size();
    for (std::size_t i = 0; i < count; ++i) {
        const std::string& piece = pieces[i];
        bool incomplete = count > 1 && i + 1 == count && !piece.empty();
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
            if (state.verbose.load()) {
                char line[kPacketBufferSize];
                boundedFormat(line, sizeof line, "%s\n", piece.c_str());
                openText("partial packet detected: \"%s\"\r\n", line);
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
