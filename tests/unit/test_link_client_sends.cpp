// Sends to local clients: broadcast order and pacing, failures, traces and
// freed slots.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "clients/client_slot_table.h"
#include "link_fixture.h"
#include "platform/seam.h"

namespace kolv::linktest {
namespace {

class LinkClientSends : public LinkTest {
protected:
    static int ourEnd(int slot) {
        return bridgeState().clientSlots.sockets[static_cast<std::size_t>(slot)].load();
    }
    static std::string trace(const std::string& shown, int slot) {
        return "sendClientPacket \"" + shown + "\" to socket " + std::to_string(ourEnd(slot));
    }
};

TEST_F(LinkClientSends, BroadcastGoesToOccupiedSlotsInAscendingOrderFiveMsEach) {
    // Slots filled from the top down, so socket numbers fall as slots rise:
    // the trace order is then the slot order, not the descriptor order.
    const int client5 = connectClient(5);
    const int client2 = connectClient(2);
    const int client0 = connectClient(0);
    ASSERT_GT(ourEnd(5), 0);
    ASSERT_LT(ourEnd(5), ourEnd(0));
    bridgeState().verbose.store(true);

    const auto start = Clock::now();
    broadcastToClients("SERVER~~~~~~one~\nSERVER~~~~~~two~\n");
    EXPECT_GE(elapsedMs(start, Clock::now()), 3 * 5);

    for (int peer : {client0, client2, client5}) EXPECT_EQ(drain(peer), "SERVER~~~~~~one~\nSERVER~~~~~~two~\n");
    const std::string shown = "SERVER~~~~~~one~SERVER~~~~~~two~";
    EXPECT_EQ(console(), "<stamp>" + trace(shown, 0) + "\n<stamp>" + trace(shown, 2) + "\n<stamp>" +
                             trace(shown, 5) + "\n");
    EXPECT_EQ(logMessages(), (std::vector<std::string>{trace(shown, 0), trace(shown, 2), trace(shown, 5)}));
}

TEST_F(LinkClientSends, BroadcastWithoutClientsSendsNothingAndDoesNotPause) {
    bridgeState().verbose.store(true);
    const auto start = Clock::now();
    for (int i = 0; i < 20; ++i) broadcastToClients("SERVER~~~~~~one~\n");
    // Twenty paused sends would take 100 ms at least.
    EXPECT_LT(elapsedMs(start, Clock::now()), 100);
    EXPECT_EQ(console(), "");
    EXPECT_TRUE(logMessages().empty());
}

TEST_F(LinkClientSends, ClientThatWentAwayFailsAloneAndKeepsItsSlot) {
    const int client0 = connectClient(0);
    const int client1 = connectClient(1);
    const int client2 = connectClient(2);
    const int gone = ourEnd(1);
    closeEnd(client1);

    const auto start = Clock::now();
    broadcastToClients("SERVER~~~~CLIENT~~~LATENCY:42~\n");
    EXPECT_GE(elapsedMs(start, Clock::now()), 3 * 5);  // the failed send pauses too

    EXPECT_EQ(drain(client0), "SERVER~~~~CLIENT~~~LATENCY:42~\n");
    EXPECT_EQ(drain(client2), "SERVER~~~~CLIENT~~~LATENCY:42~\n");
    const std::string failure = "sendClientPacket to client #" + std::to_string(gone) + " failed with error: " +
                                std::to_string(peerGoneError());
    EXPECT_EQ(console(), "<stamp>" + failure + "\n");
    EXPECT_EQ(logMessages(), (std::vector<std::string>{failure}));
    EXPECT_EQ(ourEnd(1), gone);

    // The next broadcast tries it again.
    broadcastToClients("SERVER~~~~~~again~\n");
    EXPECT_EQ(drain(client0), "SERVER~~~~~~again~\n");
    EXPECT_EQ(drain(client2), "SERVER~~~~~~again~\n");
    EXPECT_EQ(logMessages(), (std::vector<std::string>{failure, failure}));

    EXPECT_FALSE(sendClientPacket(1, "SERVER~~~~~~direct~\n"));
    EXPECT_TRUE(sendClientPacket(0, "SERVER~~~~~~direct~\n"));
    EXPECT_EQ(drain(client0), "SERVER~~~~~~direct~\n");
}

TEST_F(LinkClientSends, VerboseTraceOfASingleSend) {
    const int client = connectClient(3);
    bridgeState().verbose.store(true);
    EXPECT_TRUE(sendClientPacket(3, "bob~Here~~~~~hi~\n"));
    EXPECT_EQ(drain(client), "bob~Here~~~~~hi~\n");
    EXPECT_EQ(console(), "<stamp>" + trace("bob~Here~~~~~hi~", 3) + "\n");
    EXPECT_EQ(logMessages(), (std::vector<std::string>{trace("bob~Here~~~~~hi~", 3)}));
}

TEST_F(LinkClientSends, ReleasedSlotIsSentNothing) {
    const int client0 = connectClient(0);
    const int client1 = connectClient(1);
    releaseClientSlot(1);
    EXPECT_EQ(ourEnd(1), kInvalidSocket);

    EXPECT_FALSE(sendClientPacket(1, "SERVER~~~~~~late~\n"));
    broadcastToClients("SERVER~~~~~~all~\n");
    EXPECT_EQ(drain(client1), "");
    EXPECT_EQ(drain(client0), "SERVER~~~~~~all~\n");
    EXPECT_EQ(console(), "");
    EXPECT_TRUE(logMessages().empty());
}

// Holds every send to one socket for a while, so that a release can be
// attempted while that send is under way.
struct SlowSendSeam {
    static std::atomic<int>& watched() {
        static std::atomic<int> fd{-1};
        return fd;
    }
    static std::atomic<bool>& entered() {
        static std::atomic<bool> flag{false};
        return flag;
    }
    static long send(SocketHandle s, const void* data, std::size_t length) {
        if (s == watched().load()) {
            entered().store(true);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return systemSocketSend(s, data, length);
    }
    static long recv(SocketHandle s, void* data, std::size_t length) {
        return systemSocketRecv(s, data, length);
    }
    static void sleep(std::int64_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
    static std::uint64_t fileTime() {
        return (static_cast<std::uint64_t>(wallMs()) + 11644473600000ULL) * 10000ULL;
    }
};

// A broadcast on the main thread while the client's own thread frees its
// slot: once the release has returned, nothing more reaches that client.
TEST_F(LinkClientSends, NoSendReachesAClientAfterItsSlotIsReleased) {
    const int client0 = connectClient(0);
    const int client1 = connectClient(1);
    static const PlatformSeam seam{&SlowSendSeam::send, &SlowSendSeam::recv, &SlowSendSeam::sleep,
                                   &SlowSendSeam::fileTime, &systemWaitSocket};
    SlowSendSeam::watched().store(ourEnd(1));
    SlowSendSeam::entered().store(false);
    setPlatformSeam(&seam);

    const std::string tick = "SERVER~~~~~~tick~\n";
    std::thread broadcaster([&] {
        for (int i = 0; i < 3; ++i) broadcastToClients(tick.c_str());
    });
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!SlowSendSeam::entered().load() && Clock::now() < deadline) std::this_thread::yield();
    EXPECT_TRUE(SlowSendSeam::entered().load());

    releaseClientSlot(1);  // while the first send to slot 1 is under way
    const std::string beforeReturn = drain(client1);
    broadcaster.join();
    setPlatformSeam(nullptr);

    EXPECT_EQ(beforeReturn, tick) << "the send under way finishes before the release returns";
    EXPECT_EQ(drain(client1), "") << "a send reached the client after its release";
    EXPECT_EQ(drain(client0), tick + tick + tick);
    EXPECT_EQ(console(), "");
}

}  // namespace
}  // namespace kolv::linktest
