// Host reads at the edges the end-to-end tests cannot pin down: exact latency
// figures under a fake clock, checksum -1, and over-long lines across reads.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "host/handle_host_data.h"
#include "host/host_commands.h"
#include "host/receive_loop.h"
#include "link_fixture.h"
#include "packet/host_senders.h"
#include "packet/packet_checksum.h"

namespace kolv::linktest {
namespace {

// A chat line "bob~~~~~~<body>~\n" whose checksum is target; the body is made
// of bytes above 0x7F.
std::string lineWithChecksum(std::int32_t target) {
    std::string head = "bob~~~~~~";
    std::string tail = "~\n";
    std::int32_t rest = target - packetChecksum((head + tail).c_str());
    std::string body;
    while (rest < -128) {
        body += static_cast<char>(-128);
        rest += 128;
    }
    if (rest < 0) body += static_cast<char>(rest);
    return head + body + tail;
}

// A chat line of exactly length characters before its "\n".
std::string chatLineOfLength(std::size_t length) {
    std::string head = "bob~Here~~~~~";
    return head + std::string(length - head.size() - 1, 'x') + "~";
}

class LinkHostData : public LinkTest {
protected:
    void SetUp() override {
        LinkTest::SetUp();
        host_ = connectHost();
        client0_ = connectClient(0);
        client1_ = connectClient(1);
        config_ = makeConfig();
    }

    void feed(const std::string& text) { handleHostData(carry_, config_, text.c_str()); }

    // The next read behind the carried text, as the receive loop joins them.
    void feedAfterCarry(const std::string& text) {
        std::string joined = std::string(carry_.text) + text;
        carry_.text[0] = '\0';
        handleHostData(carry_, config_, joined.c_str());
    }

    // Both clients received exactly expected since they were last drained.
    void expectClientsGot(const std::string& expected) {
        EXPECT_EQ(drain(client0_), expected) << "client in slot 0";
        EXPECT_EQ(drain(client1_), expected) << "client in slot 1";
    }

    static int ourEnd(int slot) {
        return bridgeState().clientSlots.sockets[static_cast<std::size_t>(slot)].load();
    }

    int host_ = -1;
    int client0_ = -1;
    int client1_ = -1;
    BridgeConfig config_{};
    HostReadCarry carry_;
};

TEST_F(LinkHostData, EchoOfATrackedPacketIsMeasuredBeforeItIsPassedOn) {
    FakeClock clock;
    FakeClock::setUnixMs(1700000000000);
    const std::string first = "bob~Here~~~~~first~\n";
    const std::string second = "bob~Here~~~~~second~\n";
    ASSERT_TRUE(sendHostPacket(first.c_str()));   // recorded at +10
    ASSERT_TRUE(sendHostPacket(second.c_str()));  // recorded at +20
    drain(host_);

    FakeClock::setUnixMs(1700000000250);
    bridgeState().verbose.store(true);
    feed(first);
    bridgeState().verbose.store(false);
    expectClientsGot("SERVER~~~CLIENT~~~LATENCY:240~\n" + first);
    EXPECT_EQ(bridgeState().lastLatencyMs.load(), 240);
    EXPECT_TRUE(allFree(bridgeState().latencyTracker));
    EXPECT_NE(console().find("<stamp>LATENCY:240\n"), std::string::npos) << console();
    const auto log = logMessages();
    EXPECT_NE(std::find(log.begin(), log.end(), "LATENCY:240"), log.end());

    // The match emptied the table: the second echo is only passed on.
    FakeClock::setUnixMs(1700000000400);
    feed(second);
    expectClientsGot(second);
    EXPECT_EQ(bridgeState().lastLatencyMs.load(), 240);
}

TEST_F(LinkHostData, LineWithChecksumMinusOneIsNotTakenForAFreeEntry) {
    const std::string line = lineWithChecksum(-1);
    ASSERT_EQ(packetChecksum(line.c_str()), -1);
    trackPacket(bridgeState().latencyTracker, "unrelated~\n", false);
    feed(line);
    expectClientsGot(line);
    EXPECT_EQ(recordedCount(bridgeState().latencyTracker), 1);
    EXPECT_EQ(bridgeState().lastLatencyMs.load(), 0);
}

TEST_F(LinkHostData, OverlongLineIsReportedAndTheNextLineHandled) {
    const std::string longLine = chatLineOfLength(600);
    feed(longLine + "\nbob~Here~~~~~after~\n");
    expectClientsGot("bob~Here~~~~~after~\n");
    EXPECT_EQ(logMessages(), (std::vector<std::string>{"WARNING: invalid packet:", longLine.substr(0, 511)}));
    EXPECT_STREQ(carry_.text, "");
    EXPECT_FALSE(carry_.dropNextPiece);
}

TEST_F(LinkHostData, LongestLineThatFitsIsPassedOnAndOneMoreIsNot) {
    const std::string fits = chatLineOfLength(511);
    const std::string tooLong = chatLineOfLength(512);
    feed(fits + "\n" + tooLong + "\n");
    expectClientsGot(fits + "\n");
    EXPECT_EQ(logMessages(), (std::vector<std::string>{"WARNING: invalid packet:", tooLong.substr(0, 511)}));

    // A fragment of 511 characters still fits the carry.
    std::filesystem::remove("kolv.log");
    feed("bob~Here~~~~~one~\n" + fits);
    EXPECT_EQ(std::string(carry_.text), fits);
    feedAfterCarry("\n");
    expectClientsGot("bob~Here~~~~~one~\n" + fits + "\n");
    EXPECT_TRUE(logMessages().empty());
}

TEST_F(LinkHostData, OverlongIncompleteLineDropsItsContinuation) {
    const std::string longPiece = chatLineOfLength(600);
    feed("bob~Here~~~~~first~\n" + longPiece);
    expectClientsGot("bob~Here~~~~~first~\n");
    EXPECT_STREQ(carry_.text, "");
    EXPECT_TRUE(carry_.dropNextPiece);
    EXPECT_EQ(logMessages(), (std::vector<std::string>{"WARNING: invalid packet:", longPiece.substr(0, 511)}));

    // A read without any line end is still inside the long line.
    feedAfterCarry(std::string(300, 'z') + "~~~~~~~");
    EXPECT_TRUE(carry_.dropNextPiece);
    feedAfterCarry("tail~of~the~long~one~x~y~\nbob~Here~~~~~after~\n");
    expectClientsGot("bob~Here~~~~~after~\n");
    EXPECT_FALSE(carry_.dropNextPiece);
    EXPECT_EQ(logMessages().size(), 2u);
    EXPECT_EQ(drain(host_), "");
}

TEST_F(LinkHostData, OverlongLineWithoutLineEndIsDroppedUntilItEnds) {
    // 64 KiB without a line end, as reads of any size: one report, nothing passed on.
    const std::string longPiece = chatLineOfLength(600);
    feed(longPiece);
    EXPECT_TRUE(carry_.dropNextPiece);
    feedAfterCarry(std::string(400, 'q'));
    feedAfterCarry("Tail~F~~~~~leak~\nbob~Here~~~~~after~\n");
    expectClientsGot("bob~Here~~~~~after~\n");
    EXPECT_EQ(logMessages(), (std::vector<std::string>{"WARNING: invalid packet:", longPiece.substr(0, 511)}));
    EXPECT_FALSE(carry_.dropNextPiece);
}

}  // namespace
}  // namespace kolv::linktest
