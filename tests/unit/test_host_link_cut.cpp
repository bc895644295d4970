// A host write cut after part of a packet went out: reported, and the link
// is ended instead of taking the next packet behind the cut one.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "link/host_link_io.h"
#include "link/host_senders.h"
#include "capture.h"
#include "platform/seam.h"
#include "platform/system.h"

namespace kolv {
namespace {


std::atomic<int> sendCalls{0};
std::size_t firstTake = 0;  // what the first send takes before the next one fails; 0: the first fails
constexpr std::size_t kTimesOut = SIZE_MAX;  // the first send runs out of its time-out, telling no count

long scriptedSend(SocketHandle s, const void* data, std::size_t length) {
    const bool first = sendCalls++ == 0;
    if (first && firstTake == kTimesOut) setLastSocketError(timedOutError());
    if (first && firstTake == kTimesOut) return -1;
    if (firstTake > 0 && firstTake != kTimesOut) return first ? systemSocketSend(s, data, std::min(length, firstTake))
                                                              : systemSocketSend(kInvalidSocket, data, length);
    return first ? systemSocketSend(kInvalidSocket, data, length) : systemSocketSend(s, data, length);
}

void pause(std::int64_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::int64_t clockNow() { return systemUnixMs(); }

// The host link on one end of a socket pair, its handshake "hs" written
// and relays released.
bool openTestLink(SocketHandle (&pair)[2]) {
    int error = 0;
    if (socketPair(pair) != 0 || openHostLinkWithHandshake(pair[0], {}, "hs", error) != 2) return false;
    releaseHeldWrites();
    return true;
}

// A write that fails after part of it went out ends the link: nothing more
// is written to it, and both ends see it end. One that fails before any
// byte went out keeps it; so does a send time-out, except on Windows
// (10060), where the socket is not to be used after one.
TEST(HostLinkCut, OnlyAWriteCutMidPacketEndsTheLink) {
    const std::string packet = "Alice~Site~~~~~" + std::string(400, 'x') + "~\n";
    for (std::size_t take : {std::size_t{100}, std::size_t{0}, kTimesOut}) {
        SCOPED_TRACE(take);
        const bool cut = take == kTimesOut ? timedOutError() == 10060 : take > 0;
        SocketHandle pair[2];
        ASSERT_TRUE(openTestLink(pair));
        int error = 0;
        Capture console;
        static const PlatformSeam seam{scriptedSend, systemSocketRecv, pause, clockNow, systemWaitSocket};
        sendCalls = 0;
        firstTake = take;
        setPlatformSeam(&seam);
        EXPECT_FALSE(sendHostPacket(packet.c_str()));
        EXPECT_EQ(sendHostPacket(packet.c_str()), !cut);
        setPlatformSeam(nullptr);
        EXPECT_EQ(sendCalls.load(), take == kTimesOut && cut ? 1 : 2) << "a write after the cut reached the socket";
        const std::string failed = "sendHostPacket failed with error: ";
        EXPECT_EQ(console.text.find(failed) != console.text.rfind(failed), cut) << console.text;
        char got[1024];
        long n = systemSocketRecv(pair[1], got, sizeof got);
        EXPECT_EQ(std::string(got, n > 0 ? static_cast<std::size_t>(n) : 0),
                  "hs" + (cut ? packet.substr(0, take == kTimesOut ? 0 : take) : packet));
        if (cut) {
            EXPECT_EQ(systemSocketRecv(pair[1], got, sizeof got), 0);
            EXPECT_LE(readHostLink(got, sizeof got, error), 0);  // end of stream here, an error on Windows
        }
        closeHostLink();
        closeSocket(pair[1]);
    }
}

int neverRoomToWrite(SocketHandle s, WaitFor what, int timeoutMs) {
    return what == WaitFor::Write ? 0 : systemWaitSocket(s, what, timeoutMs);
}

// A host that takes nothing: each write fails before any byte goes out and
// the link stays, until writes have found no room for the dead-link limit;
// then the link is broken, with a line that says why.
TEST(HostLinkCut, AHostThatTakesNothingForTheLimitLosesItsLink) {
    static char limit[] = "KOLV_TEST_DEAD_LINK_MS=100";  // putenv: also in Windows' C runtime
    ::putenv(limit);
    SocketHandle pair[2];
    ASSERT_TRUE(openTestLink(pair));
    int error = 0;
    Capture console;
    static const PlatformSeam seam{systemSocketSend, systemSocketRecv, pause, clockNow, neverRoomToWrite};
    setPlatformSeam(&seam);
    const auto start = std::chrono::steady_clock::now();
    int writes = 0;
    while (console.text.find("Host has taken no data for") == std::string::npos && writes < 100) {
        EXPECT_FALSE(sendHostPacket("Alice~Site~~~~~hi~\n"));
        ++writes;
    }
    setPlatformSeam(nullptr);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    EXPECT_LT(writes, 100);
    EXPECT_NE(console.text.find("] Host has taken no data for 1 s: replacing the link.\n"), std::string::npos);
    char got[64];
    EXPECT_EQ(systemSocketRecv(pair[1], got, sizeof got), 2) << "only the handshake went out";
    EXPECT_LE(readHostLink(got, sizeof got, error), 0);
    closeHostLink();
    closeSocket(pair[1]);
}

}  // namespace
}  // namespace kolv
