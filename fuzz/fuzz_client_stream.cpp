// A local client's chunk stream through the client thread: whole lines to
// the host, drops reported, first-packet rule, logoff and departure notice.
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

// What the client sent as the bridge reads it: each chunk up to its first zero byte.
std::string clientText(const std::uint8_t* data, std::size_t size) {
    std::string text;
    std::size_t offset = 0;
    while (offset < size) {
        std::size_t want = static_cast<std::size_t>(data[offset++]) + 1;
        std::size_t take = std::min(want, std::min<std::size_t>(513, size - offset));
        if (take == 0) break;
        const char* chunk = reinterpret_cast<const char*>(data + offset);
        text.append(chunk, ::strnlen(chunk, take));
        offset += take;
    }
    return text;
}

// The byte counts of the bridge's "Dropped" lines, added up.
long reportedDrops(const std::string& console) {
    long total = 0;
    for (std::size_t at = 0, end; at < console.size(); at = end + 1) {
        end = std::min(console.find('\n', at), console.size());
        int bytes = 0;
        const std::string line = console.substr(at, end - at);
        const bool drop = std::sscanf(line.c_str(), "[%*d/%*d/%*d %*d:%*d:%*d] Dropped %d bytes", &bytes) == 1;
        FUZZ_CHECK(!drop || bytes > 0);  // a drop line that drops nothing says nothing true
        total += bytes;
    }
    return total;
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
    const std::string& host = net.written[fuzz::kFakeHostSocket];
    FUZZ_CHECK(net.cut[fuzz::kFakeHostSocket] == 0);
    // Each of the client's lines reaches the host whole, in order, or is
    // dropped whole and reported; a last one without its line end goes on,
    // with one, when it is a whole packet.
    const std::string text = clientText(data, size);
    std::size_t relayed = 0;
    long dropped = 0;
    for (std::size_t start = 0, end; start < text.size(); start = end) {
        end = std::min(text.find('\n', start), text.size() - 1) + 1;
        std::string line = text.substr(start, end - start);
        if (line.back() == '~' && std::count(line.begin(), line.end(), '~') == 7) line += '\n';
        const bool whole = line.back() == '\n' && host.compare(relayed, line.size(), line) == 0;
        relayed += whole ? line.size() : 0;
        dropped += whole ? 0 : static_cast<long>(end - start);
    }
    FUZZ_CHECK(dropped == reportedDrops(net.console));
    // Anything after the relay is the departure notice, one whole packet.
    std::string rest = host.substr(relayed);
    if (!rest.empty()) {
        FUZZ_CHECK(rest.find("~NOTME~~~|08- ") != std::string::npos);
        FUZZ_CHECK(rest.size() <= 512 && rest.back() == '\n');
        FUZZ_CHECK(host.substr(0, relayed).find("~LOGOFF~") == std::string::npos);
    }
    // The join-time latency packet, if any, is one whole packet.
    const std::string& toClient = net.written[fuzz::kFakeClientSocket];
    if (!toClient.empty()) FUZZ_CHECK(toClient.rfind("SERVER~~~CLIENT~~~LATENCY:", 0) == 0 && toClient.back() == '\n');
    fuzz::endFakeInput();
    return 0;
}
