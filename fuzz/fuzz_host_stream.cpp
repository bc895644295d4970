// The host's byte stream through the receive loop: line cutting, carry,
// latency match, validation and command dispatch.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/bridge_state.h"
#include "fuzz_seam.h"
#include "host/receive_loop.h"
#include "packet/host_senders.h"
#include "platform/console.h"

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
    static fuzz::NullConsole console;
    setConsoleSink(&console);
    fuzz::installFuzzSeam();
    fuzz::FakeNetwork& net = fuzz::fakeNetwork();
    net = fuzz::FakeNetwork{};
    net.data = data;
    net.size = size;

    BridgeState& state = bridgeState();
    initialiseBridgeState(state);
    state.verbose.store(size > 0 && (data[0] & 1) != 0);
    state.hostSocket.store(fuzz::kFakeHostSocket);
    state.clientSlots.sockets[0].store(fuzz::kFakeClientSocket);
    std::strcpy(state.siteName, "Fuzz_Site");
    std::strcpy(state.pidText, "4242");
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

    state.clientSlots.sockets[0].store(kInvalidSocket);
    state.hostSocket.store(kInvalidSocket);
    return 0;
}
