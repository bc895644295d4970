// What the bridge does with the text of one host read: lines, carry, latency,
// pass-on to the clients and the answers to the host's commands.
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

const char* const kHelloAnswer =
    "CLIENT~The_Board~~SERVER~~~INFOWEB:www.board.test~\n"
    "CLIENT~The_Board~~SERVER~~~INFOTEL:telnet.board.test~\n"
    "CLIENT~The_Board~~SERVER~~~INFOSSH:ssh.board.test:22~\n"
    "CLIENT~The_Board~~SERVER~~~INFOSYS:Sysop Sam~\n"
    "CLIENT~The_Board~~SERVER~~~INFODSC:%s~\n"
    "CLIENT~The_Board~1234~SERVER~~~IMALIVE:The Board~\n"
    "CLIENT~The_Board~~SERVER~~~CAPABILITIES: MCI CTCP~\n";

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

TEST_F(LinkHostData, TwoWholePacketsAreBroadcastInOrderAndNothingIsCarried) {
    feed("bob~Here~~~~~one~\nann~There~~~~~two~\n");
    expectClientsGot("bob~Here~~~~~one~\nann~There~~~~~two~\n");
    EXPECT_STREQ(carry_.text, "");
    EXPECT_FALSE(carry_.dropNextPiece);
    EXPECT_EQ(drain(host_), "");
    EXPECT_EQ(console(), "");
    EXPECT_TRUE(logMessages().empty());
}

TEST_F(LinkHostData, ReadEndingInsideAPacketCarriesTheFragmentUntilItIsWhole) {
    bridgeState().verbose.store(true);
    feed("bob~Here~~~~~one~\nann~The");
    expectClientsGot("bob~Here~~~~~one~\n");
    EXPECT_STREQ(carry_.text, "ann~The");
    const std::string trace0 = "sendClientPacket \"bob~Here~~~~~one~\" to socket " + std::to_string(ourEnd(0));
    const std::string trace1 = "sendClientPacket \"bob~Here~~~~~one~\" to socket " + std::to_string(ourEnd(1));
    EXPECT_EQ(console(), "<stamp>" + trace0 + "\n<stamp>" + trace1 +
                             "\n<stamp>partial packet detected: \"ann~The\n\"\r\n");
    EXPECT_EQ(logMessages(), (std::vector<std::string>{trace0, trace1, "partial packet detected:", "ann~The"}));

    bridgeState().verbose.store(false);
    feedAfterCarry("re~~~~~two~\n");
    expectClientsGot("ann~There~~~~~two~\n");
    EXPECT_STREQ(carry_.text, "");
}

TEST_F(LinkHostData, ReceiveOnceJoinsTheCarriedTextAndTracesItsRecovery) {
    auto hostSends = [&](const std::string& text) {
        ASSERT_EQ(::send(host_, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
    };
    hostSends("bob~Here~~~~~one~\nann~The");
    ASSERT_TRUE(receiveOnce(carry_, config_));
    expectClientsGot("bob~Here~~~~~one~\n");
    EXPECT_STREQ(carry_.text, "ann~The");

    bridgeState().verbose.store(true);
    hostSends("re~~~~~two~\n");
    ASSERT_TRUE(receiveOnce(carry_, config_));
    expectClientsGot("ann~There~~~~~two~\n");
    EXPECT_STREQ(carry_.text, "");
    const std::string trace0 = "sendClientPacket \"ann~There~~~~~two~\" to socket " + std::to_string(ourEnd(0));
    const std::string trace1 = "sendClientPacket \"ann~There~~~~~two~\" to socket " + std::to_string(ourEnd(1));
    EXPECT_EQ(console(), "<stamp>partial packet recovered: ann~The\r\n<stamp>" + trace0 + "\n<stamp>" + trace1 + "\n");
    EXPECT_EQ(logMessages(), (std::vector<std::string>{"partial packet recovered:", "ann~The", trace0, trace1}));
}

TEST_F(LinkHostData, ReadWithoutAnyLineEndIsOneCompleteLine) {
    feed("bob~Here~~~~~hi~");
    expectClientsGot("bob~Here~~~~~hi~\n");
    EXPECT_STREQ(carry_.text, "");
}

TEST_F(LinkHostData, MalformedLinesAreReportedOrDroppedAndNeverPassedOn) {
    feed("a~b~c~d\n");
    expectClientsGot("");
    EXPECT_EQ(console(), "");
    EXPECT_EQ(logMessages(), (std::vector<std::string>{"WARNING: invalid packet:", "a~b~c~d"}));

    std::filesystem::remove("kolv.log");
    feed("just text\n\nSERVER~~~~~~~\nbob~Here~~~~~~\n");
    expectClientsGot("");
    EXPECT_EQ(console(), "");
    EXPECT_TRUE(logMessages().empty());

    // Five tildes are too few; six make a line whose body is the seventh piece.
    feed("a~b~c~d~e~f\na~b~c~d~e~f~g\n");
    expectClientsGot("a~b~c~d~e~f~g\n");
    EXPECT_EQ(logMessages(), (std::vector<std::string>{"WARNING: invalid packet:", "a~b~c~d~e~f"}));

    bridgeState().verbose.store(true);
    feed("a~b~c~d\n");
    EXPECT_EQ(console(), "<stamp>WARNING: invalid packet: \"a~b~c~d\n\"\r\n");
    EXPECT_EQ(drain(host_), "");
}

TEST_F(LinkHostData, ControlCharactersOfHostMessagesBecomeUnderscores) {
    feed("SERVER~~~~~~NOTICE\tX\rY~\n");
    expectClientsGot("SERVER~~~~~~NOTICE_X_Y~\n");

    feed("bob~Here~~~~~NOTICE\tX\rY~\n");
    expectClientsGot("bob~Here~~~~~NOTICE\tX\rY~\n");

    // 7 and 31 are the bounds; 1 to 6, space and 127 stay.
    feed(std::string("SERVER~~~~~~A\x01\x02\x03\x04\x05\x06\x07\x1f \x7f" "B~\n"));
    expectClientsGot(std::string("SERVER~~~~~~A\x01\x02\x03\x04\x05\x06__ \x7f" "B~\n"));
    EXPECT_EQ(console(), "");

    bridgeState().verbose.store(true);
    const auto start = Clock::now();
    feed("SERVER~~~~~~NOTICE\tX~\n");
    EXPECT_GE(elapsedMs(start, Clock::now()), 10 + 2 * 5);
    expectClientsGot("SERVER~~~~~~NOTICE_X~\n");
    const std::string received = "received \"SERVER~~~~~~NOTICE\tX~\" from host";
    EXPECT_EQ(console(), "<stamp>" + received + "\n<stamp>replacing ascii 9 (\t).\r\n" +
                             "<stamp>sendClientPacket \"SERVER~~~~~~NOTICE_X~\" to socket " +
                             std::to_string(ourEnd(0)) + "\n" +
                             "<stamp>sendClientPacket \"SERVER~~~~~~NOTICE_X~\" to socket " +
                             std::to_string(ourEnd(1)) + "\n");
    ASSERT_FALSE(logMessages().empty());
    EXPECT_EQ(logMessages()[0], "received \"SERVER~~~~~~NOTICE\tX~\" from host");
}

TEST_F(LinkHostData, HelloIsAnsweredWithTheSiteAndNotPassedOn) {
    const auto start = Clock::now();
    feed("SERVER~~~~~~HELLO~\n");
    EXPECT_GE(elapsedMs(start, Clock::now()), 7 * 10 + 20);
    EXPECT_EQ(drain(host_), kHelloAnswer);
    expectClientsGot("");
    EXPECT_EQ(recordedCount(bridgeState().latencyTracker), 7);

    // Only the exact word is the command.
    feed("SERVER~~~~~~hello~\n");
    EXPECT_EQ(drain(host_), "");
    expectClientsGot("SERVER~~~~~~hello~\n");

    config_ = makeConfig(1);
    feed("SERVER~~~~~~HELLO~\n");
    std::string withTls = kHelloAnswer;
    withTls.replace(withTls.find("MCI CTCP"), 8, "MCI SSL CTCP");
    EXPECT_EQ(drain(host_), withTls);
    EXPECT_EQ(console(), "");
}

TEST_F(LinkHostData, FirstHelloAfterALostLinkTellsTheClientsOnce) {
    bridgeState().reconnectPending.store(true);
    feed("SERVER~~~~~~HELLO~\n");
    EXPECT_EQ(drain(host_), kHelloAnswer);
    expectClientsGot("SERVER~~~CLIENT~~~RECONNECT~\n");
    EXPECT_FALSE(bridgeState().reconnectPending.load());

    feed("SERVER~~~~~~HELLO~\n");
    EXPECT_EQ(drain(host_), kHelloAnswer);
    expectClientsGot("");
}

TEST_F(LinkHostData, PingInAnyCaseIsAnsweredWithTheTimeAndAStatsRequest) {
    FakeClock clock;
    for (const char* word : {"ping", "PING", "Ping"}) {
        SCOPED_TRACE(word);
        resetTracker(bridgeState().latencyTracker);
        FakeClock::setUnixMs(1700000000000);
        feed(std::string("SERVER~~~~~~") + word + "~\n");
        EXPECT_EQ(drain(host_),
                  "CLIENT~The_Board~1234~SERVER~1700000000000~~IMALIVE:The Board~\n"
                  "CLIENT~The_Board~~SERVER~~~STATS~\n");
        expectClientsGot("");
        const auto entries = trackerSnapshot(bridgeState().latencyTracker);
        EXPECT_EQ(entries[0].isStats, 0);
        EXPECT_EQ(entries[1].isStats, 1);
        EXPECT_EQ(entries[1].sentAtMs, 1700000000020);
    }
}

TEST_F(LinkHostData, StatsTextIsStoredCutAndNotPassedOn) {
    {
        std::FILE* old = std::fopen(kStatsFileName, "w");
        ASSERT_NE(old, nullptr);
        std::fputs("an older and longer statistics text", old);
        std::fclose(old);
    }
    feed("SERVER~~~~~~STATS:1 2 3 4~\n");
    EXPECT_EQ(readFile(kStatsFileName), "1 2 3 4");
    expectClientsGot("");
    EXPECT_EQ(drain(host_), "");

    const std::string forty = "0123456789abcdefghijABCDEFGHIJ0123456789";
    feed("SERVER~~~~~~STATS:" + forty + "~\n");
    EXPECT_EQ(readFile(kStatsFileName), forty.substr(0, 29));
    expectClientsGot("");
    EXPECT_EQ(console(), "");
}

TEST_F(LinkHostData, StatsAnswerToAPendingRequestIsMeasuredFirst) {
    FakeClock clock;
    FakeClock::setUnixMs(1700000000000);
    feed("SERVER~~~~~~ping~\n");  // request recorded at +20 ms, after two paused writes
    drain(host_);
    FakeClock::setUnixMs(1700000000100);
    feed("SERVER~~~~~~STATS:5 6~\n");
    expectClientsGot("SERVER~~~CLIENT~~~LATENCY:80~\n");
    EXPECT_EQ(bridgeState().lastLatencyMs.load(), 80);
    EXPECT_EQ(readFile(kStatsFileName), "5 6");
    EXPECT_TRUE(allFree(bridgeState().latencyTracker));
}

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
