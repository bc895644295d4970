// The host link: first link plain and over TLS, a TLS failure, a lost link,
// refused attempts between links, and the retry limit.
#include <regex>

#include "e2e/harness.h"

namespace kolvtest {
namespace {

const std::string kMark = "M~~~~~~mark~\n";

std::string afterBanner(const std::string& out) {
    std::string masked = std::regex_replace(out, std::regex(R"(\[\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\] )"), "[T] ");
    masked = std::regex_replace(masked, std::regex(R"(from \S+ \S+ to \S+ \S+)"), "from D to D");
    return masked.substr(std::min(masked.find("[T] "), masked.size()));
}

struct FirstLinkCase {
    const char* name;
    HostMode mode;
    bool verbose;
    std::string tlsLines;  // between the connect and the handshake
    std::vector<std::string> log;
};

const FirstLinkCase kFirstLinks[] = {
    {"plain", HostMode::Plain, false, "", {}},
    {"tls", HostMode::Tls, false, "[T] SSL...OK\r\n", {}},
    {"tls, verbose: the certificate shown", HostMode::Tls, true,
     "[T] SSL...OK\r\n[T] Host certificate subject: CN=kolv-test\n[T] Host certificate issuer: CN=kolv-test\n"
     "[T] Host certificate valid from D to D\n[T] Host certificate pin: " + hostPin(HostMode::Tls) + "\n",
     {"SSL...OK", "Host certificate subject: CN=kolv-test"}},
    {"tls refused by a plain host: the same connection goes on in plain text", HostMode::PlainAnswerToTls, false,
     "[T] SSL...[T] SSL_connect failed.\nfailed.\n", {"SSL_connect failed"}},
};

TEST(HostLink, FirstLinkPrintsItsStepsAndOpensTheListener) {
    for (const FirstLinkCase& c : kFirstLinks) {
        SCOPED_TRACE(c.name);
        Session s(c.verbose ? std::vector<std::string>{"-W1", "-V"} : std::vector<std::string>{"-W1"}, c.mode,
                  [](Config& config) { config.site = "|10The~Board  X"; });
        const auto joining = Clock::now();
        auto client = s.join("Alice");
        EXPECT_LT(Clock::now() - joining, scaled(1500ms)) << "relays still held after the host's first line";
        EXPECT_EQ(afterBanner(s.bridge->out()).substr(0, afterBanner(s.bridge->out()).find("[T] Alice entered")),
                  "[T] Retry wait seconds: 1\r\n" + std::string(c.verbose ? "[T] Verbose logging OK\r\n" : "") +
                      "[T] Max connection retries: Infinite\n[T] Starting up...\n"
                      "[T] Connecting to 127.0.0.2:" + s.host.portText() + "...OK\r\n" + c.tlsLines +
                      "[T] Sending handshake:\"" + expectedHandshake("|10The~Board  X") +
                      "\" ... OK\r\n[T] Ready for clients.\n[T] To exit any time, press CTRL+C.\n");
        auto log = logMessages(s.dir);
        if (c.verbose) log.resize(c.log.size());  // traces follow
        EXPECT_EQ(log, c.log);
        EXPECT_EQ(s.bridge->err().find("error:") != std::string::npos, c.mode == HostMode::PlainAnswerToTls)
            << "the TLS library's own report, on a TLS failure only";
    }
}

// A TLS link the host closes: the library's codes are reported, and the link
// is made again over TLS; the listener stays, and so do the clients.
TEST(HostLink, LostTlsLinkIsReportedRetriedAndRemade) {
    Session s({"-W1"}, HostMode::Tls);
    auto client = s.join("Alice");
    s.link->close();
    auto second = s.host.link(2);
    ASSERT_NE(second, nullptr) << s.bridge->out();
    EXPECT_EQ(second->readSome(5s), expectedHandshake());
    ASSERT_TRUE(waitUntil([&] { return logMessages(s.dir).size() >= 4; }, 5s));
    std::vector<std::string> log = logMessages(s.dir);
    EXPECT_EQ(log.at(1).rfind("error:", 0), 0u) << "the TLS library's text: " << log[1];
    log[1] = "error:";
    EXPECT_EQ(log, (std::vector<std::string>{"Connection closed with error: 6", "error:", "Retry 1...",
                                             "Reconnection successful"}));
    const std::string out = afterBanner(s.bridge->out());
    EXPECT_NE(out.find("[T] Connection closed with error: 6\n"), std::string::npos) << out;
    EXPECT_NE(out.find("[T] Retry 1...\r\n\n[T] Starting up...\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("Ready for clients."), out.rfind("Ready for clients.")) << "the listener opens once";
    ASSERT_TRUE(second->send(kMark));
    EXPECT_EQ(client->readLine(5s), kMark);
}

// Between two links the host refuses once: a client's relay fails with its
// report, and on the new link every client hears RECONNECT after the first
// HELLO only. Later, with -R3, the host refuses twice more and the bridge
// gives up: the limit counts from the lost link.
TEST(HostLink, RefusedAttemptsBetweenLinksAndTheRetryLimit) {
    Session s({"-W1", "-R3"});
    auto alice = s.join("Alice");
    s.host.stopListening();
    s.link->close();
    ASSERT_TRUE(s.bridge->waitFor("Unable to connect to server!", 10s)) << s.bridge->out();
    ASSERT_TRUE(alice->send(chat("Alice", "into the void")));
    const std::string failure = "sendHostPacket failed with error: " + std::to_string(osError("badsocket"));
    EXPECT_TRUE(s.bridge->waitFor("] " + failure + "\n", 5s)) << s.bridge->out();
    auto host = std::make_unique<Host>(HostMode::Plain, 0, s.host.port());
    auto second = host->link(1);
    ASSERT_NE(second, nullptr) << s.bridge->out();
    EXPECT_EQ(second->readSome(5s), expectedHandshake());
    for (int hello = 0; hello < 2; ++hello) {
        ASSERT_TRUE(second->send("SERVER~~~~~~HELLO~\n" + kMark));
        for (int i = 0; i < 7; ++i) second->readLine(5s);
        auto expected = hello == 0 ? std::vector<std::string>{"SERVER~~~CLIENT~~~RECONNECT~\n", kMark}
                                   : std::vector<std::string>{kMark};
        EXPECT_EQ(readUntil(*alice, kMark), expected);
    }
    host.reset();
    second->close();
    EXPECT_EQ(s.bridge->exitCode(20s), 0) << s.bridge->out();
    const std::string refused = "connect failed with error: " + std::to_string(osError("refused")) + ". ";
    EXPECT_EQ(logMessages(s.dir),
              (std::vector<std::string>{"Connection closed with error: 0", "Retry 1 of 3...", refused,
                                        "Unable to connect to server!", failure, "Retry 2 of 3...",
                                        "Reconnection successful", "Connection closed with error: 0",
                                        "Retry 1 of 3...", refused, "Unable to connect to server!", "Retry 2 of 3...",
                                        refused, "Unable to connect to server!", "Retry 3 of 3..."}));
}

// -R1: after a lost link the bridge waits, says "Retry 1 of 1..." and ends.
TEST(HostLink, RetryLimitOfOneEndsAfterTheLoss) {
    Session s({"-W1", "-R1"});
    s.host.stopListening();
    s.link->close();
    EXPECT_EQ(s.bridge->exitCode(15s), 0) << s.bridge->out();
    EXPECT_EQ(countOf(s.bridge->out(), "] Retry 1 of 1...\r\n"), 1u) << s.bridge->out();
    EXPECT_EQ(countOf(s.bridge->out(), "Connecting to"), 1u) << "no attempt after the limit";
}

// kolv.log renamed while the bridge runs, as logrotate does: the bridge opens
// the log for each line, so the next line starts a new kolv.log.
TEST(HostLink, RenamedLogIsFollowedByANewOne) {
    Session s({"-W2"});
    s.link->close();
    const fs::path log = s.dir.path / "kolv.log", renamed = s.dir.path / "kolv.log.1";
    ASSERT_TRUE(waitUntil([&] { return !s.dir.read("kolv.log").empty(); }, 5s)) << s.bridge->out();
    ASSERT_TRUE(waitUntil([&] { std::error_code busy; fs::rename(log, renamed, busy); return !busy; }, 5s));
    ASSERT_NE(s.host.link(2), nullptr) << s.bridge->out();
    ASSERT_TRUE(waitUntil([&] { return logMessages(s.dir).size() >= 2; }, 5s)) << s.bridge->out();
    EXPECT_EQ(logMessages(s.dir), (std::vector<std::string>{"Retry 1...", "Reconnection successful"}));
    EXPECT_EQ(lines(s.dir.read("kolv.log.1")).size(), 1u) << s.dir.read("kolv.log.1");
    EXPECT_EQ(countOf(s.dir.read("kolv.log.1"), "Connection closed with error: 0"), 1u);
}

}  // namespace
}  // namespace kolvtest
