// The three host senders over a socket pair standing in for the host link.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "link_fixture.h"
#include "packet/host_senders.h"
#include "packet/packet_checksum.h"

namespace kolv::linktest {
namespace {

class LinkSenders : public LinkTest {
protected:
    void SetUp() override {
        LinkTest::SetUp();
        setSiteName("The_DarkSide_Place");
    }
    LatencyTracker& tracker() { return bridgeState().latencyTracker; }
};

TEST_F(LinkSenders, CmdPacketBytesAndStatsMarkDependOnTheFormatAlone) {
    FakeClock clock;
    FakeClock::setUnixMs(1700000000000);
    const int host = connectHost();

    EXPECT_TRUE(sendCmdPacket("", "", "STATS", ""));
    const std::string stats = "CLIENT~The_DarkSide_Place~~SERVER~~~STATS~\n";
    EXPECT_EQ(drain(host), stats);

    EXPECT_TRUE(sendCmdPacket("", "", "stats", ""));
    EXPECT_EQ(drain(host), "CLIENT~The_DarkSide_Place~~SERVER~~~stats~\n");

    EXPECT_TRUE(sendCmdPacket("", "", "STATS", "ignored"));
    EXPECT_EQ(drain(host), stats);

    EXPECT_TRUE(sendCmdPacket("1234", "1700000000000", "IMALIVE:%s", "The Board"));
    const std::string alive = "CLIENT~The_DarkSide_Place~1234~SERVER~1700000000000~~IMALIVE:The Board~\n";
    EXPECT_EQ(drain(host), alive);

    auto entries = trackerSnapshot(tracker());
    // Claimed in write order; the time is read after each write's 10 ms pause.
    EXPECT_EQ(entries[0].checksum, packetChecksum(stats.c_str()));
    EXPECT_EQ(entries[0].isStats, 1);
    EXPECT_EQ(entries[0].sentAtMs, 1700000000010);
    EXPECT_EQ(entries[1].checksum, packetChecksum("CLIENT~The_DarkSide_Place~~SERVER~~~stats~\n"));
    EXPECT_EQ(entries[1].isStats, 0);
    EXPECT_EQ(entries[1].sentAtMs, 1700000000020);
    EXPECT_EQ(entries[2].checksum, packetChecksum(stats.c_str()));
    EXPECT_EQ(entries[2].isStats, 1);
    EXPECT_EQ(entries[3].checksum, packetChecksum(alive.c_str()));
    EXPECT_EQ(entries[3].isStats, 0);
    EXPECT_EQ(entries[3].sentAtMs, 1700000000040);
    EXPECT_EQ(recordedCount(tracker()), 4);
    EXPECT_EQ(console(), "");
}

TEST_F(LinkSenders, CmdPacketBodyKeepsPlaceholderWhenEmptyAndIsCutAt140) {
    const int host = connectHost();

    EXPECT_TRUE(sendCmdPacket("", "", "INFOWEB:%s", ""));
    EXPECT_EQ(drain(host), "CLIENT~The_DarkSide_Place~~SERVER~~~INFOWEB:%s~\n");

    const std::string longArgument(200, 'w');
    EXPECT_TRUE(sendCmdPacket("", "", "INFOWEB:%s", longArgument.c_str()));
    const std::string cut = ("INFOWEB:" + longArgument).substr(0, 140);
    EXPECT_EQ(drain(host), "CLIENT~The_DarkSide_Place~~SERVER~~~" + cut + "~\n");

    // 8 + 132 characters fill the body exactly; one more is cut off.
    const std::string fits = std::string(131, 'a') + "Z";
    EXPECT_TRUE(sendCmdPacket("", "", "INFOWEB:%s", fits.c_str()));
    EXPECT_EQ(drain(host), "CLIENT~The_DarkSide_Place~~SERVER~~~INFOWEB:" + fits + "~\n");
    EXPECT_TRUE(sendCmdPacket("", "", "INFOWEB:%s", (fits + "Q").c_str()));
    EXPECT_EQ(drain(host), "CLIENT~The_DarkSide_Place~~SERVER~~~INFOWEB:" + fits + "~\n");
}

TEST_F(LinkSenders, MsgPacketIsAddressedToNotmeAndStillRecorded) {
    const int host = connectHost();
    EXPECT_TRUE(sendMsgPacket("alice", "|08- alice has disconnected."));
    const std::string packet = "alice~The_DarkSide_Place~~NOTME~~~|08- alice has disconnected.~\n";
    EXPECT_EQ(drain(host), packet);
    auto entries = trackerSnapshot(tracker());
    EXPECT_EQ(entries[0].checksum, packetChecksum(packet.c_str()));
    EXPECT_EQ(entries[0].isStats, 0);
    EXPECT_NE(entries[0].sentAtMs, -1);
    EXPECT_EQ(recordedCount(tracker()), 1);
}

TEST_F(LinkSenders, HostPacketIsRelayedUnchangedAndRecordedUnlessItHoldsNotme) {
    const int host = connectHost();

    const std::string two = "bob~Here~~~~~one~\nbob~Here~~~~~two~\n";
    EXPECT_TRUE(sendHostPacket(two.c_str()));
    EXPECT_EQ(drain(host), two);
    EXPECT_EQ(recordedCount(tracker()), 1);
    EXPECT_EQ(trackerSnapshot(tracker())[0].checksum, packetChecksum(two.c_str()));

    const std::string notme = "bob~Here~~NOTME~~~hi~\n";
    EXPECT_TRUE(sendHostPacket(notme.c_str()));
    EXPECT_EQ(drain(host), notme);
    EXPECT_EQ(recordedCount(tracker()), 1);

    // "NOTME" without both of its tildes is no mark.
    const std::string partial = "bob~Here~~NOTME";
    EXPECT_TRUE(sendHostPacket(partial.c_str()));
    EXPECT_EQ(drain(host), partial);
    EXPECT_EQ(recordedCount(tracker()), 2);
    EXPECT_EQ(trackerSnapshot(tracker())[1].checksum, packetChecksum(partial.c_str()));
    EXPECT_EQ(console(), "");
    EXPECT_TRUE(logMessages().empty());
}

TEST_F(LinkSenders, EveryWritePausesTenMilliseconds) {
    const int host = connectHost();
    const auto start = Clock::now();
    EXPECT_TRUE(sendHostPacket("bob~Here~~~~~hi~\n"));
    EXPECT_GE(elapsedMs(start, Clock::now()), 10);
    EXPECT_EQ(drain(host), "bob~Here~~~~~hi~\n");
}

TEST_F(LinkSenders, VerboseTracesShowThePacketWithoutLineEnds) {
    const int host = connectHost();
    bridgeState().verbose.store(true);

    EXPECT_TRUE(sendHostPacket("bob~Here~~~~~one~\nbob~Here~~~~~two~\n"));
    EXPECT_TRUE(sendCmdPacket("", "", "STATS", ""));
    EXPECT_TRUE(sendMsgPacket("alice", "bye"));
    EXPECT_EQ(drain(host),
              "bob~Here~~~~~one~\nbob~Here~~~~~two~\n"
              "CLIENT~The_DarkSide_Place~~SERVER~~~STATS~\n"
              "alice~The_DarkSide_Place~~NOTME~~~bye~\n");

    const std::string first = "sendHostPacket \"bob~Here~~~~~one~bob~Here~~~~~two~\" to host";
    const std::string second = "sendCmdPacket \"CLIENT~The_DarkSide_Place~~SERVER~~~STATS~\" to host";
    const std::string third = "sendMsgPacket \"alice~The_DarkSide_Place~~NOTME~~~bye~\" to host";
    EXPECT_EQ(console(), "<stamp>" + first + "\n<stamp>" + second + "\n<stamp>" + third + "\n");
    EXPECT_EQ(logMessages(), (std::vector<std::string>{first, second, third}));
}

TEST_F(LinkSenders, WriteWithoutLinkFailsAfterThePauseAndRecordsNothing) {
    ASSERT_EQ(bridgeState().hostSocket.load(), kInvalidSocket);

    const auto start = Clock::now();
    EXPECT_FALSE(sendHostPacket("bob~Here~~~~~hi~\n"));
    Clock::time_point failureShown;
    ASSERT_TRUE(console_.timeOfFirst("failed with error", failureShown));
    EXPECT_GE(elapsedMs(start, failureShown), 10);

    EXPECT_FALSE(sendCmdPacket("", "", "STATS", ""));
    EXPECT_FALSE(sendMsgPacket("alice", "bye"));

    EXPECT_TRUE(allFree(tracker()));
    const std::string code = std::to_string(notSocketError());  // EBADF, or WSAENOTSOCK on Windows
    EXPECT_EQ(console(), "<stamp>sendHostPacket failed with error: " + code + "\n<stamp>sendCmdPacket failed with error: " +
                             code + "\n<stamp>sendMsgPacket failed with error: " + code + "\n");
    EXPECT_EQ(logMessages(), (std::vector<std::string>{"sendHostPacket failed with error: " + code,
                                                       "sendCmdPacket failed with error: " + code,
                                                       "sendMsgPacket failed with error: " + code}));
}

TEST_F(LinkSenders, WriteToAHostThatHungUpReportsBrokenPipe) {
    const int host = connectHost();
    closeEnd(host);
    EXPECT_FALSE(sendHostPacket("bob~Here~~~~~hi~\n"));
    EXPECT_TRUE(allFree(tracker()));
    const std::string failure = "sendHostPacket failed with error: " + std::to_string(peerGoneError());
    EXPECT_EQ(console(), "<stamp>" + failure + "\n");
    EXPECT_EQ(logMessages(), (std::vector<std::string>{failure}));
}

TEST_F(LinkSenders, ConcurrentRelaysReachTheHostAsWholePackets) {
    const int host = connectHost();
    constexpr int kThreads = 4;
    constexpr int kPackets = 10;
    std::vector<std::thread> relays;
    for (int t = 0; t < kThreads; ++t) {
        relays.emplace_back([t] {
            for (int k = 0; k < kPackets; ++k) {
                const std::string packet = "user" + std::to_string(t) + "~Here~~~~~" + std::string(200, 'a') +
                                           std::to_string(k) + "~\n";
                sendHostPacket(packet.c_str());
            }
        });
    }
    for (auto& r : relays) r.join();

    std::string stream = drain(host);
    std::vector<int> next(kThreads, 0);
    std::size_t start = 0;
    int packets = 0;
    while (start < stream.size()) {
        const std::size_t end = stream.find('\n', start);
        ASSERT_NE(end, std::string::npos) << "stream ends inside a packet";
        const std::string line = stream.substr(start, end - start);
        start = end + 1;
        ASSERT_GE(line.size(), 5u);
        const int t = line[4] - '0';
        ASSERT_TRUE(t >= 0 && t < kThreads) << line;
        const auto index = static_cast<std::size_t>(t);
        EXPECT_EQ(line, "user" + std::to_string(t) + "~Here~~~~~" + std::string(200, 'a') +
                            std::to_string(next[index]) + "~")
            << "packets of one relay out of order or broken";
        ++next[index];
        ++packets;
    }
    EXPECT_EQ(packets, kThreads * kPackets);
    EXPECT_EQ(recordedCount(tracker()), kThreads * kPackets);
}

}  // namespace
}  // namespace kolv::linktest
