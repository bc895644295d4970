// The host link of the real bridge against a fake chat host: handshake,
// lost links and the retry policy after a link, TLS and its failures, an
// independent TLS server, and a host name with two addresses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "harness/harness.h"

using namespace std::chrono_literals;
using namespace kolvtest;

namespace {

const std::string kSite = "My Board";
const std::string kSoftware = "Sys 2";

ConfigOptions configFor(const FakeHost& host, bool tls = false) {
    return ConfigOptions(host.portText()).withTls(tls).withSite(kSite).withSoftware(kSoftware);
}

std::string handshake() { return expectedHandshake(kSite, kSoftware); }

// What the bridge reports when a host address refuses the connection.
std::string refusedText() {
    return "connect failed with error: " + bridgeError(BridgeOsError::ConnectionRefused) + ". ";
}

// Console output after the banner (everything from the first stamped line),
// with the timestamps masked.
std::string afterBanner(const std::string& output) {
    std::string masked = maskStamps(output);
    std::size_t first = masked.find("[T] ");
    return first == std::string::npos ? masked : masked.substr(first);
}

std::vector<std::string> retryLines(const std::string& output) {
    std::vector<std::string> retries;
    for (const std::string& line : stampedLines(output)) {
        if (line.rfind("Retry ", 0) == 0 && line.rfind("Retry wait", 0) != 0) retries.push_back(line);
    }
    return retries;
}

bool startsLikeTlsClientHello(const std::string& bytes) {
    return bytes.size() > 5 && static_cast<unsigned char>(bytes[0]) == 0x16 &&
           static_cast<unsigned char>(bytes[1]) == 0x03 && static_cast<unsigned char>(bytes[5]) == 0x01;
}

}  // namespace

TEST(PlainHostLink, HandshakeFirstThenTheLocalListenerOpens) {
    TempDir dir;
    FakeHost host;
    writeConfig(dir, configFor(host));
    BridgeProcess bridge(dir, {"-W1"});

    auto link = host.waitForConnection(1, 10s);
    ASSERT_NE(link, nullptr);
    const std::string received = link->readHandshake(5s);
#if defined(__linux__) && defined(__x86_64__)
    if (std::getenv("KOLV_BRIDGE_PLATFORM") == nullptr) {
        EXPECT_EQ(received, "My Board~Sys 2/Linux.x64/1.3.103");
    }
#endif
    EXPECT_EQ(received, handshake());

    ASSERT_TRUE(bridge.waitForOutput("To exit any time, press CTRL+C.\n", 5s)) << bridge.output();
    // The listener's lines come only after the handshake has been sent.
    EXPECT_EQ(afterBanner(bridge.output()),
              "[T] Retry wait seconds: 1\r\n"
              "[T] Max connection retries: Infinite\n"
              "[T] Starting up...\n"
              "[T] Connecting to 127.0.0.2:" + host.portText() + "...OK\r\n"
              "[T] Sending handshake:\"" + handshake() + "\" ... OK\r\n"
              "[T] Ready for clients.\n"
              "[T] To exit any time, press CTRL+C.\n");
    // The first handshake after start-up logs nothing, reconnection included.
    EXPECT_FALSE(logExists(dir)) << readLog(dir);

    LocalClient client;
    EXPECT_TRUE(client.connect(host.port(), 5s));
    EXPECT_TRUE(bridge.running());
}

TEST(PlainHostLink, HandshakeCarriesTheConfiguredSiteNameUnchanged) {
    TempDir dir;
    FakeHost host;
    const std::string site = "|10The~Board  X";
    writeConfig(dir, ConfigOptions(host.portText()).withSite(site).withSoftware("S/1"));
    BridgeProcess bridge(dir, {"-W1"});
    auto link = host.waitForConnection(1, 10s);
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(link->readHandshake(5s), expectedHandshake(site, "S/1"));
}

TEST(PlainHostLink, LostLinkIsReportedRetriedAndReconnected) {
    TempDir dir;
    FakeHost host;
    writeConfig(dir, configFor(host));
    BridgeProcess bridge(dir, {"-W1"});

    auto first = host.waitForConnection(1, 10s);
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(first->readHandshake(5s), handshake());
    LocalClient client;
    ASSERT_TRUE(client.connect(host.port(), 5s));

    first->close();
    ASSERT_TRUE(bridge.waitForOutput("Connection closed with error: 0\n", 5s)) << bridge.output();
    ASSERT_TRUE(bridge.waitForOutput("Retry 1...\r\n", 5s)) << bridge.output();
    auto second = host.waitForConnection(2, 10s);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->readHandshake(5s), handshake());

    ASSERT_TRUE(waitForLog(dir, "Reconnection successful", 5s)) << readLog(dir);
    EXPECT_EQ(logMessages(dir),
              (std::vector<std::string>{"Connection closed with error: 0", "Retry 1...", "Reconnection successful"}));
    const std::string out = maskStamps(bridge.output());
    EXPECT_NE(out.find("[T] Connection closed with error: 0\n"
                       "[T] Retry 1...\r\n\n"
                       "[T] Starting up...\n"
                       "[T] Connecting to 127.0.0.2:" + host.portText() + "...OK\r\n"
                       "[T] Sending handshake:\"" + handshake() + "\" ... OK\r\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(countOccurrences(out, "Ready for clients."), 1u) << "the listener is opened once";
    EXPECT_EQ(out.find("Reconnection"), std::string::npos) << "log only";
    // Local clients stay connected through the loss.
    EXPECT_FALSE(client.waitClosed(200ms));
}

// A refused attempt between two links: the count restarts with the second
// link, and the second loss is reported like the first.
TEST(PlainHostLink, RefusedAttemptBetweenTwoLinks) {
    TempDir dir;
    FakeHost host;
    writeConfig(dir, configFor(host));
    BridgeProcess bridge(dir, {"-W1"});

    auto first = host.waitForConnection(1, 10s);
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(first->readHandshake(5s), handshake());
    host.stopListening();
    first->close();
    ASSERT_TRUE(bridge.waitForOutput("Unable to connect to server!\n", 5s)) << bridge.output();
    host.resumeListening();

    auto second = host.waitForConnection(2, 10s);
    ASSERT_NE(second, nullptr) << bridge.output();
    ASSERT_EQ(second->readHandshake(5s), handshake());
    ASSERT_TRUE(waitForLog(dir, "Reconnection successful", 5s)) << readLog(dir);
    host.stopListening();
    second->close();
    ASSERT_TRUE(waitForLog(dir, "Unable to connect to server!", 5s, 2)) << readLog(dir);

    std::vector<std::string> log = logMessages(dir);
    log.resize(std::min<std::size_t>(log.size(), 8));
    EXPECT_EQ(log,
              (std::vector<std::string>{"Connection closed with error: 0", "Retry 1...",
                                        refusedText(), "Unable to connect to server!",
                                        "Retry 2...", "Reconnection successful", "Connection closed with error: 0",
                                        "Retry 1..."}));
    std::vector<std::string> retries = retryLines(bridge.output());
    retries.resize(std::min<std::size_t>(retries.size(), 3));
    EXPECT_EQ(retries, (std::vector<std::string>{"Retry 1...", "Retry 2...", "Retry 1..."}));
}

TEST(PlainHostLink, RetryLimitAfterALinkCountsFromTheLoss) {
    TempDir dir;
    FakeHost host;
    writeConfig(dir, configFor(host));
    BridgeProcess bridge(dir, {"-W1", "-R2"});

    auto link = host.waitForConnection(1, 10s);
    ASSERT_NE(link, nullptr);
    ASSERT_EQ(link->readHandshake(5s), handshake());
    host.stopListening();
    link->close();

    std::optional<int> code = bridge.waitExit(15s);
    ASSERT_TRUE(code.has_value()) << bridge.output();
    EXPECT_EQ(*code, 0);
    const std::string out = bridge.output();
    EXPECT_EQ(retryLines(out), (std::vector<std::string>{"Retry 1 of 2...", "Retry 2 of 2..."}));
    const std::vector<std::string> lines = stampedLines(out);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Max connection retries: 2"), 1);
    EXPECT_EQ(host.connectionCount(), 1u);
    EXPECT_EQ(logMessages(dir), (std::vector<std::string>{"Connection closed with error: 0", "Retry 1 of 2...",
                                                          refusedText(),
                                                          "Unable to connect to server!", "Retry 2 of 2..."}));
}

TEST(TlsHostLink, HandshakeGoesOverTlsAndTheLinkIsRemadeOverTls) {
    TempDir dir;
    FakeHost host(HostMode::Tls);
    writeConfig(dir, configFor(host, true));
    BridgeProcess bridge(dir, {"-W1"});

    auto first = host.waitForConnection(1, 10s);
    ASSERT_NE(first, nullptr);
    ASSERT_TRUE(first->tlsEstablished()) << first->tlsError() << bridge.stderrOutput();
    EXPECT_EQ(first->readHandshake(5s), handshake());
    ASSERT_TRUE(bridge.waitForOutput("To exit any time, press CTRL+C.\n", 5s)) << bridge.output();
    EXPECT_EQ(afterBanner(bridge.output()),
              "[T] Retry wait seconds: 1\r\n"
              "[T] Max connection retries: Infinite\n"
              "[T] Starting up...\n"
              "[T] Connecting to 127.0.0.2:" + host.portText() + "...OK\r\n"
              "[T] SSL...OK\r\n"
              "[T] Sending handshake:\"" + handshake() + "\" ... OK\r\n"
              "[T] Ready for clients.\n"
              "[T] To exit any time, press CTRL+C.\n");
    EXPECT_FALSE(logExists(dir)) << "\"SSL...OK\" is logged only with -V";

    // A TLS close notice ends the link; the next attempt negotiates TLS again.
    first->close();
    ASSERT_TRUE(bridge.waitForOutput("Retry 1...\r\n", 5s)) << bridge.output();
    auto second = host.waitForConnection(2, 10s);
    ASSERT_NE(second, nullptr);
    ASSERT_TRUE(second->tlsEstablished()) << second->tlsError() << bridge.stderrOutput();
    EXPECT_EQ(second->readHandshake(5s), handshake());
    ASSERT_TRUE(waitForLog(dir, "Reconnection successful", 5s)) << readLog(dir);

    std::vector<std::string> log = logMessages(dir);
    ASSERT_EQ(log.size(), 4u) << readLog(dir);
    EXPECT_EQ(log[0], "Connection closed with error: 6");  // the TLS library's "zero return"
    EXPECT_EQ(log[1].rfind("error:", 0), 0u) << "the TLS library's error text follows: " << log[1];
    EXPECT_EQ(log[2], "Retry 1...");
    EXPECT_EQ(log[3], "Reconnection successful");
    EXPECT_EQ(countOccurrences(bridge.output(), "SSL...OK\r\n"), 2u);
}

TEST(TlsHostLink, VerboseLogsTheTlsSetUp) {
    TempDir dir;
    FakeHost host(HostMode::Tls);
    writeConfig(dir, configFor(host, true));
    BridgeProcess bridge(dir, {"-W1", "-V"});

    auto link = host.waitForConnection(1, 10s);
    ASSERT_NE(link, nullptr);
    ASSERT_TRUE(link->tlsEstablished()) << link->tlsError();
    EXPECT_EQ(link->readHandshake(5s), handshake());
    ASSERT_TRUE(waitForLog(dir, "SSL...OK", 5s));
    EXPECT_EQ(logMessages(dir), std::vector<std::string>{"SSL...OK"});
}

TEST(TlsHostLink, PlainPeerMakesTlsFailAndTheHandshakeGoesPlainOnTheSameConnection) {
    TempDir dir;
    FakeHost host(HostMode::PlainAnswerToTls);
    writeConfig(dir, configFor(host, true));
    BridgeProcess bridge(dir, {"-W1"});

    auto link = host.waitForConnection(1, 10s);
    ASSERT_NE(link, nullptr);
    EXPECT_TRUE(startsLikeTlsClientHello(link->firstBytes())) << "the bridge did not try TLS first";
    EXPECT_EQ(link->readHandshake(5s), handshake());
    EXPECT_EQ(host.connectionCount(), 1u);

    ASSERT_TRUE(bridge.waitForOutput("Ready for clients.", 5s)) << bridge.output();
    EXPECT_NE(maskStamps(bridge.output())
                  .find("[T] Connecting to 127.0.0.2:" + host.portText() +
                        "...OK\r\n"
                        "[T] SSL...[T] SSL_connect failed.\n"
                        "failed.\n"
                        "[T] Sending handshake:\"" + handshake() + "\" ... OK\r\n"),
              std::string::npos)
        << bridge.output();
    // The TLS library's own report goes to stderr.
    EXPECT_TRUE(bridge.waitForStderr("error:", 5s)) << bridge.stderrOutput();
    ASSERT_TRUE(waitForLog(dir, "SSL_connect failed", 5s));
    EXPECT_EQ(logMessages(dir), std::vector<std::string>{"SSL_connect failed"});
    // The plain link stays up.
    EXPECT_FALSE(link->waitClosed(200ms));
    EXPECT_TRUE(bridge.running());
}

TEST(TlsHostLink, HostClosingDuringTheTlsHandshakeIsSurvivedAndRetried) {
    TempDir dir;
    FakeHost host(HostMode::CloseDuringTlsHandshake);
    writeConfig(dir, configFor(host, true));
    BridgeProcess bridge(dir, {"-W1"});

    auto first = host.waitForConnection(1, 10s);
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(startsLikeTlsClientHello(first->firstBytes()));
    ASSERT_TRUE(bridge.waitForOutput("Retry 1", 10s)) << bridge.output();
    // It tries again, and keeps running.
    ASSERT_NE(host.waitForConnection(2, 10s), nullptr) << bridge.output();
    EXPECT_TRUE(bridge.running());

    const std::string out = maskStamps(bridge.output());
    // After the failed TLS handshake the plain handshake either fails to go
    // out, or goes out and the closed link is noticed by the read.
    const std::regex afterFailure(
        "\\[T\\] SSL\\.\\.\\.\\[T\\] SSL_connect failed\\.\nfailed\\.\n"
        "\\[T\\] Sending handshake:\"[^\"]*\" \\.\\.\\. "
        "(send failed with error: -?[0-9]+\r\n|OK\r\n(\\[T\\] Ready for clients\\.\n\\[T\\] To exit any time, press "
        "CTRL\\+C\\.\n)?\\[T\\] (Connection closed with error: -?[0-9]+|recv failed with error: -?[0-9]+)\n)");
    EXPECT_TRUE(std::regex_search(out, afterFailure)) << out;
    ASSERT_TRUE(waitForLog(dir, "SSL_connect failed", 5s));
}

// `openssl s_server` as an independent TLS peer.
TEST(TlsHostLink, HandshakeReachesAnOpensslServer) {
    TempDir dir;
    ProcessResult made = runProcess({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                                     "ec_paramgen_curve:P-256", "-keyout", "key.pem", "-out", "cert.pem", "-days", "1",
                                     "-nodes", "-subj", "/CN=test"},
                                    dir);
    ASSERT_EQ(made.exitCode, 0) << made.errorOutput;
    const int port = freePort();
    ProcessOptions serverOptions;
    serverOptions.stdinPipe = true;  // s_server ends its session at the end of its input
    ChildProcess server({"openssl", "s_server", "-accept", "127.0.0.2:" + std::to_string(port), "-cert", "cert.pem",
                         "-key", "key.pem"},
                        dir, serverOptions);
    ASSERT_TRUE(server.waitForOutput("ACCEPT", 10s)) << server.output() << server.stderrOutput();

    writeConfig(dir, ConfigOptions(std::to_string(port)).withTls().withSite(kSite).withSoftware(kSoftware));
    BridgeProcess bridge(dir, {"-W1"});
    EXPECT_TRUE(server.waitForOutput(handshake(), 10s)) << server.output() << server.stderrOutput();
    EXPECT_TRUE(bridge.waitForOutput("] SSL...OK\r\n", 5s)) << bridge.output();
    EXPECT_TRUE(bridge.waitForOutput("\" ... OK\r\n", 5s)) << bridge.output();
}

// A name whose first address refuses: the next address is tried on the
// same attempt. The name is given two addresses by a private hosts file.
TEST(HostLinkAddresses, FirstAddressRefusedThenTheNextConnects) {
    if (!privateResolverAvailable()) GTEST_SKIP() << "needs unshare and mount for a private hosts file";
    TempDir dir;
    FakeHost host;  // 127.0.0.2:P; freePort made sure nothing listens on [::1]:P
    std::vector<std::string> wrapper =
        privateResolverWrapper(dir, "127.0.0.1 localhost\n::1 kolv-two.test\n127.0.0.2 kolv-two.test\n");

    std::vector<std::string> lookup = wrapper;
    for (const char* word : {"getent", "ahosts", "kolv-two.test"}) lookup.push_back(word);
    ProcessResult resolved = runProcess(lookup, dir);
    std::vector<std::string> addresses;
    for (const std::string& line : splitLines(resolved.output)) {
        if (line.find("STREAM") != std::string::npos) addresses.push_back(line.substr(0, line.find(' ')));
    }
    if (addresses != std::vector<std::string>{"::1", "127.0.0.2"}) {
        GTEST_SKIP() << "kolv-two.test does not resolve to ::1 then 127.0.0.2 here: " << resolved.output;
    }

    writeConfig(dir, configFor(host).withHost("kolv-two.test"));
    ProcessOptions options;
    options.wrapper = wrapper;
    BridgeProcess bridge(dir, {"-W1"}, options);
    auto link = host.waitForConnection(1, 10s);
    ASSERT_NE(link, nullptr) << bridge.output() << bridge.stderrOutput();
    EXPECT_EQ(link->readHandshake(5s), handshake());
    ASSERT_TRUE(bridge.waitForOutput("Sending handshake", 5s));
    EXPECT_NE(maskStamps(bridge.output())
                  .find("[T] Connecting to kolv-two.test:" + host.portText() +
                        "..." + refusedText() + "\n"
                        "OK\r\n"
                        "[T] Sending handshake:"),
              std::string::npos)
        << bridge.output();
    ASSERT_TRUE(waitForLog(dir, "connect failed", 5s));
    EXPECT_EQ(logMessages(dir), std::vector<std::string>{refusedText()});
}
