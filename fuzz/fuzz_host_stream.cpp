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

class NullConsole final : public kolv::ConsoleSink {
public:
    void write(const char*, std::size_t) override {}
    void setAttribute(int) override {}
};

// Names the broken invariant before stopping, so a finding explains itself.
void checkAt(bool condition, const char* what, int line) {
    if (condition) return;
    std::fprintf(stderr, "invariant broken at line %d: %s\n", line, what);
    std::abort();
}
#define check(condition) checkAt((condition), #condition, __LINE__)

// Every packet the bridge builds or passes to a client is whole: at most 512
// characters and ending in "\n", one send each.
void checkClientWrites(const std::string& all, std::size_t sends) {
    std::size_t lines = 0;
    std::size_t start = 0;
    while (start < all.size()) {
        std::size_t end = all.find('\n', start);
        check(end != std::string::npos);
        check(end - start + 1 <= 512);
        start = end + 1;
        ++lines;
    }
    check(lines == sends);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kolv;
    static NullConsole console;
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
        check(std::strlen(carry.text) <= 511);
        check(!(carry.dropNextPiece && carry.text[0] != '\0'));
    }
    checkClientWrites(net.written[fuzz::kFakeClientSocket], net.writes[fuzz::kFakeClientSocket]);
    checkClientWrites(net.written[fuzz::kFakeHostSocket], net.writes[fuzz::kFakeHostSocket]);

    state.clientSlots.sockets[0].store(kInvalidSocket);
    state.hostSocket.store(kInvalidSocket);
    return 0;
}
