// The host link: first link plain and over TLS, TLS failures, a lost link,
// refused attempts between links, the retry limit, and several addresses.
#include <unistd.h>

#include <regex>

#include "e2e/harness.h"

namespace kolvtest {
namespace {

std::string afterBanner(const std::string& out) {
    std::string masked = std::regex_replace(out, std::regex(R"(\[\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\] )"), "[T] ");
    return masked.substr(std::min(masked.find("[T] "), masked.size()));
}

bool isClientHello(const std::string& bytes) {
    return bytes.size() > 5 && bytes[0] == 0x16 && bytes[1] == 0x03 && bytes[5] == 0x01;
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
    {"tls, verbose", HostMode::Tls, true, "[T] SSL...OK\r\n", {"SSL...OK"}},
    {"tls refused by a plain host: the same connection goes on in plain text", HostMode::PlainAnswerToTls, false,
     "[T] SSL...[T] SSL_connect failed.\nfailed.\n", {"SSL_connect failed"}},
};

TEST(HostLink, FirstLinkPrintsItsStepsAndOpensTheListener) {
    for (const FirstLinkCase& c : kFirstLinks) {
        SCOPED_TRACE(c.name);
        Session s(c.verbose ? std::vector<std::string>{"-W1", "-V"} : std::vector<std::string>{"-W1"}, c.mode,
                  [](Config& config) { config.site = "|10The~Board  X"; });
        auto client = s.join("Alice");
        EXPECT_EQ(afterBanner(s.bridge->out()).substr(0, afterBanner(s.bridge->out()).find("[T] Alice entered")),
                  "[T] Retry wait seconds: 1\r\n" + std::string(c.verbose ? "[T] Verbose logging OK\r\n" : "") +
                      "[T] Max connection retries: Infinite\n[T] Starting up...\n"
                      "[T] Connecting to 127.0.0.2:" + s.host.portText() + "...OK\r\n" + c.tlsLines +
                      "[T] Sending handshake:\"" + expectedHandshake("|10The~Board  X") +
                      "\" ... OK\r\n[T] Ready for clients.\n[T] To exit any time, press CTRL+C.\n");
        if (c.verbose) {
            EXPECT_EQ(logMessages(s.dir).at(0), "SSL...OK");
        } else {
            EXPECT_EQ(logMessages(s.dir), c.log);
        }
        if (c.mode == HostMode::PlainAnswerToTls) {
            EXPECT_TRUE(isClientHello(s.host.firstBytes(1)));
            EXPECT_NE(s.bridge->err().find("error:"), std::string::npos) << "the TLS library's own report";
        }
    }
}

struct LostLinkCase {
    const char* name;
    HostMode mode;
    std::vector<std::string> logPrefix;  // before "Retry 1..."; "error:" stands for the TLS library's text
};

const LostLinkCase kLostLinks[] = {
    {"plain", HostMode::Plain, {"Connection closed with error: 0"}},
    {"tls", HostMode::Tls, {"Connection closed with error: 6", "error:"}},
};

TEST(HostLink, LostLinkIsReportedRetriedAndRemade) {
    for (const LostLinkCase& c : kLostLinks) {
        SCOPED_TRACE(c.name);
        Session s({"-W1"}, c.mode);
        auto client = s.join("Alice");
        s.link->close();
        auto second = s.host.link(2);
        ASSERT_NE(second, nullptr) << s.bridge->out();
        EXPECT_EQ(second->readSome(5s), expectedHandshake());
        ASSERT_TRUE(waitUntil([&] { return logMessages(s.dir).size() >= c.logPrefix.size() + 2; }, 5s));
        std::vector<std::string> log = logMessages(s.dir);
        if (c.logPrefix.size() == 2 && log[1].rfind("error:", 0) == 0) log[1] = "error:";
        std::vector<std::string> expected = c.logPrefix;
        expected.insert(expected.end(), {"Retry 1...", "Reconnection successful"});
        EXPECT_EQ(log, expected);
        const std::string out = afterBanner(s.bridge->out());
        EXPECT_NE(out.find("[T] " + c.logPrefix[0] + "\n"), std::string::npos) << out;
        EXPECT_NE(out.find("[T] Retry 1...\r\n\n[T] Starting up...\n"), std::string::npos) << out;
        EXPECT_EQ(out.find("Ready for clients."), out.rfind("Ready for clients.")) << "the listener opens once";
        ASSERT_TRUE(second->send("A~B~~~~~still here~\n"));
        EXPECT_EQ(client->readLine(5s), "A~B~~~~~still here~\n");
    }
}

// Between two links the host refuses once; later, with -R3, twice in a row,
// and the bridge gives up: the limit counts from the lost link.
TEST(HostLink, RefusedAttemptsBetweenLinksAndTheRetryLimit) {
    Dir dir;
    auto host = std::make_unique<Host>();
    const int port = host->port();
    writeConfig(dir, {host->portText()});
    auto bridge = startBridge(dir, {"-W1", "-R3"});
    auto first = host->link(1);
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(first->readSome(5s), expectedHandshake());  // unread bytes would make the close a reset
    host.reset();  // refuses from now on
    first->close();
    ASSERT_TRUE(bridge->waitFor("Unable to connect to server!", 10s)) << bridge->out();
    host = std::make_unique<Host>(HostMode::Plain, 0, port);
    auto second = host->link(1);
    ASSERT_NE(second, nullptr) << bridge->out();
    EXPECT_EQ(second->readSome(5s), expectedHandshake());
    ASSERT_TRUE(waitUntil([&] { return logMessages(dir).size() >= 6; }, 5s));
    host.reset();
    second->close();
    EXPECT_EQ(bridge->exitCode(20s), 0) << bridge->out();
    const std::string refused = "connect failed with error: " + std::to_string(osError("refused")) + ". ";
    EXPECT_EQ(logMessages(dir),
              (std::vector<std::string>{"Connection closed with error: 0", "Retry 1 of 3...", refused,
                                        "Unable to connect to server!", "Retry 2 of 3...", "Reconnection successful",
                                        "Connection closed with error: 0", "Retry 1 of 3...", refused,
                                        "Unable to connect to server!", "Retry 2 of 3...", refused,
                                        "Unable to connect to server!", "Retry 3 of 3..."}));
}

TEST(HostLink, HostClosingDuringTheTlsHandshakeIsRetried) {
    Dir dir;
    Host host(HostMode::CloseDuringTls);
    writeConfig(dir, {host.portText(), true});
    auto bridge = startBridge(dir);
    ASSERT_NE(host.link(2), nullptr) << bridge->out();
    EXPECT_TRUE(isClientHello(host.firstBytes(1)));
    EXPECT_NE(afterBanner(bridge->out()).find("[T] SSL...[T] SSL_connect failed.\nfailed.\n"), std::string::npos);
    EXPECT_TRUE(waitUntil([&] { return !logMessages(dir).empty(); }, 5s));
    EXPECT_EQ(logMessages(dir).at(0), "SSL_connect failed");
}

// A name that resolves to an address that refuses, then to the host: the
// open text takes the failure, the next address's OK stands on its own line.
TEST(HostLink, FirstAddressRefusedThenTheNextConnects) {
    if (bridgeIsWindows() || ::geteuid() != 0) GTEST_SKIP() << "needs a private /etc/hosts (unshare, root)";
    Dir dir;
    Host host;
    dir.write("hosts", "127.0.0.1 localhost\n::1 kolv-two.test\n127.0.0.2 kolv-two.test\n");
    dir.write("nsswitch.conf", "hosts: files\n");
    std::vector<std::string> argv{"unshare", "--mount", "--", "sh", "-c",
                                  "mount --bind \"$1\" /etc/hosts && mount --bind \"$2\" /etc/nsswitch.conf && "
                                  "shift 2 && exec \"$@\"",
                                  "sh", (dir.path / "hosts").string(), (dir.path / "nsswitch.conf").string()};
    auto lookup = argv;
    lookup.insert(lookup.end(), {"getent", "ahosts", "kolv-two.test"});
    Process probe(lookup, dir.path);
    probe.exitCode(10s);
    if (probe.out().find("::1") != 0) GTEST_SKIP() << "kolv-two.test does not resolve to ::1 first: " << probe.out();
    Config config(host.portText());
    config.host = "kolv-two.test";
    writeConfig(dir, config);
    auto bridgeArgs = bridgeCommand();
    argv.insert(argv.end(), bridgeArgs.begin(), bridgeArgs.end());
    argv.push_back("-W1");
    Process bridge(argv, dir.path, true);
    auto link = host.link(1);
    ASSERT_NE(link, nullptr) << bridge.out() << bridge.err();
    EXPECT_EQ(link->readSome(5s), expectedHandshake());
    const std::string refused = "connect failed with error: " + std::to_string(osError("refused")) + ". ";
    EXPECT_TRUE(bridge.waitFor("Sending handshake", 5s));
    EXPECT_NE(afterBanner(bridge.out()).find("[T] Connecting to kolv-two.test:" + host.portText() + "..." + refused +
                                             "\nOK\r\n[T] Sending handshake:"),
              std::string::npos)
        << bridge.out();
    EXPECT_EQ(logMessages(dir), std::vector<std::string>{refused});
}

}  // namespace
}  // namespace kolvtest
