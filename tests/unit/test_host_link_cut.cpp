// A host write cut after part of a packet went out: reported, and the link
// is ended instead of taking the next packet behind the cut one.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <cstring>
#include <string>

#include "host/host_link_io.h"
#include "packet/host_senders.h"
#include "platform/console.h"
#include "platform/seam.h"
#include "platform/system.h"

namespace kolv {
namespace {

struct Capture final : ConsoleSink {
    std::string text;
    void write(const char* data, std::size_t length) override { text.append(data, length); }
    void setAttribute(int) override {}
};

std::atomic<int> sendCalls{0};

// The first send takes 100 bytes, every later one fails before sending.
long cuttingSend(SocketHandle s, const void* data, std::size_t length) {
    if (sendCalls++ == 0) return systemSocketSend(s, data, length < 100 ? length : 100);
    return systemSocketSend(kInvalidSocket, data, length);
}

void pause(std::int64_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::uint64_t clockNow() {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch());
    return (static_cast<std::uint64_t>(ms.count()) + 11644473600000ULL) * 10000ULL;
}

TEST(HostLinkCut, WriteFailingAfterPartOfAPacketEndsTheLink) {
    SocketHandle pair[2];
    ASSERT_EQ(socketPair(pair), 0);
    int error = 0;
    ASSERT_EQ(openHostLinkWithHandshake(pair[0], nullptr, nullptr, "hs", error), 2);
    releaseHeldWrites();
    Capture console;
    setConsoleSink(&console);
    static const PlatformSeam seam{cuttingSend, systemSocketRecv, pause, clockNow, systemWaitSocket};
    setPlatformSeam(&seam);

    const std::string packet = "Alice~Site~~~~~" + std::string(400, 'x') + "~\n";
    EXPECT_FALSE(sendHostPacket(packet.c_str()));
    EXPECT_FALSE(sendHostPacket(packet.c_str()));
    EXPECT_EQ(sendCalls.load(), 2) << "a write after the cut reached the socket";
    const std::string failed = "sendHostPacket failed with error: " + std::to_string(notSocketError()) + "\n";
    EXPECT_NE(console.text.find(failed), std::string::npos) << console.text;
    EXPECT_NE(console.text.find(failed), console.text.rfind(failed)) << "both writes report their failure";

    // The host got the handshake and the cut piece, then the end of the link;
    // the bridge's own reader wakes to the end too.
    char got[1024];
    long n = systemSocketRecv(pair[1], got, sizeof got);
    EXPECT_EQ(std::string(got, n > 0 ? static_cast<std::size_t>(n) : 0), "hs" + packet.substr(0, 100));
    EXPECT_EQ(systemSocketRecv(pair[1], got, sizeof got), 0);
    EXPECT_LE(readHostLink(got, sizeof got, error), 0);  // end of stream here, an error on Windows

    setPlatformSeam(nullptr);
    setConsoleSink(nullptr);
    closeHostLink();
    closeSocket(pair[1]);
}

}  // namespace
}  // namespace kolv
