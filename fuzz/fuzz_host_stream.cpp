// The host's byte stream through the receive loop: line cutting, carry,
// latency match, validation and command dispatch.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "clients/client_slot_table.h"
#include "config/site_settings.h"
#include "fuzz_seam.h"
#include "host/host_session.h"
#include "host/receive_loop.h"
#include "link/link_status.h"
#include "link/host_senders.h"

namespace {

// Every packet the bridge builds or passes to a client is whole: at most 512
// characters and ending in "\n", one send each.
void checkClientWrites(const std::string& all, std::size_t sends) {
    std::size_t lines = 0;
    std::size_t start = 0;
    while (start < all.size()) {
        std::size_t end = all.find('\n', start);
        FUZZ_CHECK(end != std::string::npos);
        FUZZ_CHECK(end - start + 1 <= 512);
        start = end + 1;
        ++lines;
    }
    FUZZ_CHECK(lines == sends);
}

// Chat passed on to the clients is made of the host's own lines: each one
// starts where a line or a read of the host's text starts, and ends where
// that line ends, or where a read ends when it is a whole packet the host
// sent without its line end. The bridge's notices and the host's own
// (cleaned) messages aside.
void checkPassedOn(const std::string& toClients, const std::uint8_t* data, std::size_t size) {
    std::string text;
    std::vector<std::size_t> readEnds{0};
    for (std::size_t offset = 0, take; offset < size; offset += take + 1) {
        take = std::min<std::size_t>(data[offset] + 1U, size - offset - 1);
        const char* chunk = reinterpret_cast<const char*>(data + offset + 1);
        text.append(chunk, ::strnlen(chunk, take));
        readEnds.push_back(text.size());
    }
    const auto readEnd = [&](std::size_t at) { return std::count(readEnds.begin(), readEnds.end(), at) > 0; };
    for (std::size_t at = 0, end; at < toClients.size(); at = end + 1) {
        end = toClients.find('\n', at);
        const std::string line = toClients.substr(at, end - at);
        if (line.rfind("SERVER~", 0) == 0) continue;
        const bool whole = std::count(line.begin(), line.end(), '~') == 7 && line.back() == '~';
        bool found = false;
        for (auto from = text.find(line); !found && from != std::string::npos; from = text.find(line, from + 1)) {
            const std::size_t after = from + line.size();
            found = (readEnd(from) || text[from - 1] == '\n') && (text[after] == '\n' || (whole && readEnd(after)));
        }
        FUZZ_CHECK(found);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kolv;
    fuzz::FakeNetwork& net = fuzz::startFakeInput(data, size, "Fuzz_Site~handshake\n");

    SiteSettings& settings = siteSettings();
    settings.verbose.store(size > 0 && (data[0] & 1) != 0);
    std::strcpy(settings.siteName, "Fuzz_Site");
    std::strcpy(settings.pidText, "4242");
    resetTracker(linkLatencyTracker());
    hostSession() = HostSession{};
    const int slot = occupyFreeSlot(fuzz::kFakeClientSocket);
    // A tracked relay, so that echoes of it can match.
    sendHostPacket("Alice~Home~~~~~hi~\n");

    BridgeConfig config{};
    std::strcpy(config.siteName, "Fuzz Site");
    std::strcpy(config.infoWeb, "web");

    HostReadCarry carry;
    while (receiveOnce(carry, config)) {
        FUZZ_CHECK(std::strlen(carry.text) <= 511);
        FUZZ_CHECK(!(carry.dropNextPiece && carry.text[0] != '\0'));
    }
    checkClientWrites(net.written[fuzz::kFakeClientSocket], net.writes[fuzz::kFakeClientSocket]);
    checkClientWrites(net.written[fuzz::kFakeHostSocket], net.writes[fuzz::kFakeHostSocket]);
    checkPassedOn(net.written[fuzz::kFakeClientSocket], data, size);

    releaseClientSlot(slot);
    fuzz::endFakeInput();
    return 0;
}
