#include "fuzz_seam.h"

#include <algorithm>
#include <cstring>

#include "link/host_link_io.h"
#include "platform/console.h"

namespace kolv::fuzz {
namespace {

long fakeSend(SocketHandle s, const void* data, std::size_t length) {
    FakeNetwork& net = fakeNetwork();
    net.written[s].append(static_cast<const char*>(data), length);
    ++net.writes[s];
    net.cut[s] += length == 0 || static_cast<const char*>(data)[length - 1] != '\n';
    return static_cast<long>(length);
}

long fakeRecv(SocketHandle s, void* data, std::size_t length) {
    if (s != fakeNetwork().readable) return 0;
    return nextChunk(data, length);
}

void fakeSleep(std::int64_t) {}

// Ready at once: the next read (or the end of the input) is there.
int fakeWait(SocketHandle, WaitFor, int) { return 1; }

std::int64_t fakeUnixMs() { return 1700000000000; }

const PlatformSeam kSeam{fakeSend, fakeRecv, fakeSleep, fakeUnixMs, fakeWait};

// Console text kept, colours thrown away: some losses are only told there.
class CapturedConsole final : public ConsoleSink {
public:
    void write(const char* data, std::size_t length) override { fakeNetwork().console.append(data, length); }
    void setAttribute(int) override {}
};

}  // namespace

FakeNetwork& fakeNetwork() {
    static FakeNetwork net;
    return net;
}

FakeNetwork& startFakeInput(const std::uint8_t* data, std::size_t size, const char* handshake) {
    static CapturedConsole console;
    setConsoleSink(&console);
    setPlatformSeam(&kSeam);
    FakeNetwork& net = fakeNetwork();
    net = FakeNetwork{};
    net.data = data;
    net.size = size;
    int error = 0;
    openHostLinkWithHandshake(kFakeHostSocket, {}, handshake, error);
    releaseHeldWrites();
    return net;
}

void endFakeInput() { closeHostLink(); }

long nextChunk(void* out, std::size_t room) {
    FakeNetwork& net = fakeNetwork();
    if (net.offset >= net.size || room == 0) return 0;
    std::size_t want = static_cast<std::size_t>(net.data[net.offset++]) + 1;
    std::size_t take = std::min({want, room, net.size - net.offset});
    if (take == 0) return 0;
    std::memcpy(out, net.data + net.offset, take);
    net.offset += take;
    return static_cast<long>(take);
}

}  // namespace kolv::fuzz
