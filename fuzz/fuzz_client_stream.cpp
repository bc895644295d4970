// A local client's chunk stream through the client thread: first-packet
// rule, logoff, relay and departure notice.
#include <cstdint>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "clients/client_slot_table.h"
#include "clients/client_thread.h"
#include "config/site_settings.h"
#include "fuzz_seam.h"

namespace {

struct Expected {
    std::string relay;         // each chunk's text up to its first zero byte
    bool loggedOff = false;    // some chunk holds "~LOGOFF~" whole
};

Expected expectedRelay(const std::uint8_t* data, std::size_t size) {
    Expected expected;
    std::size_t offset = 0;
    while (offset < size) {
        std::size_t want = static_cast<std::size_t>(data[offset++]) + 1;
        std::size_t take = std::min(want, std::min<std::size_t>(513, size - offset));
        if (take == 0) break;
        const char* chunk = reinterpret_cast<const char*>(data + offset);
        std::string text(chunk, ::strnlen(chunk, take));
        if (text.find("~LOGOFF~") != std::string::npos) expected.loggedOff = true;
        expected.relay += text;
        offset += take;
    }
    return expected;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kolv;
    fuzz::FakeNetwork& net = fuzz::startFakeInput(data, size, "");
    net.readable = fuzz::kFakeClientSocket;

    std::strcpy(siteSettings().siteName, "Fuzz_Site");
    const int slot = occupyFreeSlot(fuzz::kFakeClientSocket);

    clientThread(ClientStart{fuzz::kFakeClientSocket, slot});

    FUZZ_CHECK(clientSocketAt(slot) == kInvalidSocket);
    const Expected expected = expectedRelay(data, size);
    const std::string& relay = expected.relay;
    const std::string& host = net.written[fuzz::kFakeHostSocket];
    FUZZ_CHECK(host.compare(0, relay.size(), relay) == 0);
    // Anything after the relay is the departure notice, one whole packet.
    std::string rest = host.substr(relay.size());
    if (!rest.empty()) {
        FUZZ_CHECK(rest.find("~NOTME~~~|08- ") != std::string::npos);
        FUZZ_CHECK(rest.size() <= 512 && rest.back() == '\n');
        FUZZ_CHECK(!expected.loggedOff);
    }
    // The join-time latency packet, if any, is one whole packet.
    const std::string& toClient = net.written[fuzz::kFakeClientSocket];
    if (!toClient.empty()) FUZZ_CHECK(toClient.rfind("SERVER~~~CLIENT~~~LATENCY:", 0) == 0 && toClient.back() == '\n');
    fuzz::endFakeInput();
    return 0;
}
