// The host's byte stream through the receive loop: line cutting, carry,
// latency match, validation and command dispatch.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

    releaseClientSlot(slot);
    fuzz::endFakeInput();
    return 0;
}
