// ulk.pin: the host's certificate decides whether a link is made; and
// attempts that get no answer end within their limit.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <regex>

#include "e2e/harness.h"

namespace kolvtest {
namespace {

const std::string kZeroPin = "sha256:" + std::string(64, '0');

std::string masked(const std::string& out) {
    return std::regex_replace(out, std::regex(R"(\[\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\] )"), "[T] ");
}

// "SHA256:AB:CD:..." for "sha256:abcd...": the same pin as a user may paste it.
std::string shouted(const std::string& pin) {
    std::string hex = pin.substr(7), result = "SHA256:";
    for (std::size_t i = 0; i < hex.size(); i += 2) result += (i ? ":" : "") + hex.substr(i, 2);
    std::transform(result.begin(), result.end(), result.begin(), [](unsigned char c) { return std::toupper(c); });
    return result;
}

struct TrustCase {
    const char* name;
    HostMode mode;
    std::string pins;  // empty: no ulk.pin
    bool linked;
    std::string host = "";  // a name for 127.0.0.2, resolved through a hosts file of the bridge's own
};

// A linked host reads the handshake; an untrusted one never finishes its TLS
// handshake (so it reads nothing), the bridge names the certificate (unless
// the handshake fails before one is shown) and retries.
TEST(Trust, HostIsLinkedOnlyWhenUlkPinTrustsIt) {
    const TrustCase cases[] = {
        {"pin matches", HostMode::Tls, "# the host\n" + hostPin(HostMode::Tls) + "\n", true},
        {"second pin of a roll-over, pasted", HostMode::Tls, kZeroPin + "\r\n  " + shouted(hostPin(HostMode::Tls)), true},
        {"wrong pin", HostMode::Tls, kZeroPin + "\n", false},
        {"no ulk.pin: the library's defaults, TLS 1.1 and static RSA too", HostMode::OldTls, "", true},
        {"pinned: TLS 1.1 and static RSA refused", HostMode::OldTls, hostPin(HostMode::OldTls), false},
        {"verify: chain and address", HostMode::TlsFromTestCa, "verify\n", true},
        {"verify: a name that is not the host's", HostMode::TlsFromTestCaOtherName, "VERIFY\n", false},
        {"verify: self-signed", HostMode::Tls, "verify", false},
        {"verify: the name in subjectAltName", HostMode::NameInSan, "verify", true, "kolv.test"},
        {"verify: the name only as common name", HostMode::NameInCn, "verify", false, "kolv.test"},
    };
    Dir ca;
    ca.write("ca.pem", testCaPem());
    ::setenv("SSL_CERT_FILE", (ca.path / "ca.pem").c_str(), 1);
    for (const TrustCase& c : cases) {
        // The Windows bridge checks chains against the system's own roots, which
        // Wine does not take from a bridge's own mount namespace.
        if (bridgeIsWindows() && c.pins.find("erify") != std::string::npos) continue;
        SCOPED_TRACE(c.name);
        Dir dir;
        Host host(c.mode);
        Config config(host.portText(), true);
        if (!c.host.empty()) config.host = c.host;
        writeConfig(dir, config);
        if (!c.pins.empty()) dir.write("ulk.pin", c.pins);
        auto bridge = startBridge(dir, {"-W1"}, c.host.empty() ? std::vector<std::string>{} : withHosts(dir, "127.0.0.2 " + c.host + "\n"));
        if (c.linked) {
            auto link = host.link(1);
            ASSERT_NE(link, nullptr) << bridge->out();
            EXPECT_EQ(link->readSome(5s), expectedHandshake());
            continue;
        }
        const bool shown = c.mode != HostMode::OldTls;
        const char* name = c.mode == HostMode::Tls ? "kolv-test" : c.mode == HostMode::NameInCn ? "kolv.test" : "kolv-host";
        const std::string line =
            shown ? "Host certificate not trusted: " + hostPin(c.mode) + " (CN=" + name + ")" : "SSL_connect failed.";
        ASSERT_TRUE(bridge->waitFor("Retry 1 of 10...", 10s)) << bridge->out();
        EXPECT_NE(masked(bridge->out()).find("...OK\r\n[T] SSL...[T] " + line + "\nfailed.\n[T] Retry 1 of 10...\r\n"),
                  std::string::npos) << bridge->out();
        EXPECT_EQ(host.link(1, 100ms), nullptr) << "the host finished a handshake";
        auto log = logMessages(dir);
        log.resize(2);
        EXPECT_EQ(log, (std::vector<std::string>{shown ? line : "SSL_connect failed", "Retry 1 of 10..."}));
    }
    ::unsetenv("SSL_CERT_FILE");
}

// kolv-setup --pin-host pins the host on first use: nothing without a yes,
// the pin once with --yes; the bridge then links to a host with that
// certificate (a Host of its own: kolv-setup's handshakes are links too).
TEST(Trust, SetupPinsTheHostOnFirstUseAndTheBridgeTrustsIt) {
    Dir dir;
    Host shown(HostMode::Tls);
    writeConfig(dir, Config(shown.portText(), true));
    const std::string pin = hostPin(HostMode::Tls);
    Process unanswered(toolCommand("kolv-setup", {"--pin-host"}), dir);  // stdin is empty
    EXPECT_EQ(unanswered.exitCode(10s), 1);
    EXPECT_NE(unanswered.out().find("add its pin to ulk.pin? [y/N] \nNothing written.\n"), std::string::npos)
        << unanswered.out() << unanswered.err();
    EXPECT_FALSE(fs::exists(dir.path / "ulk.pin"));
    for (const std::string& said : {"Added " + pin + " to ulk.pin.\n", pin + " is already in ulk.pin.\n"}) {
        Process setup(toolCommand("kolv-setup", {"--pin-host", "--yes"}), dir);
        EXPECT_EQ(setup.exitCode(10s), 0) << setup.err();
        EXPECT_NE(setup.out().find("Host certificate subject: CN=kolv-test\n"), std::string::npos) << setup.out();
        EXPECT_NE(setup.out().find("Host certificate pin: " + pin + "\n" + said), std::string::npos) << setup.out();
        EXPECT_EQ(dir.read("ulk.pin"), "# Host certificates this site trusts; see kolv-setup --pin-host.\n" + pin + "\n");
    }
    Host host(HostMode::Tls);
    writeConfig(dir, Config(host.portText(), true));
    auto bridge = startBridge(dir);
    auto link = host.link(1);
    ASSERT_NE(link, nullptr) << bridge->out();
    EXPECT_EQ(link->readSome(5s), expectedHandshake());
}

// A listener whose backlog is full: Linux drops further connection requests.
int unansweredPort(std::vector<int>& held) {
    int port = freePort();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, "127.0.0.2", &address.sin_addr);
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener, 0);
    held.push_back(listener);
    for (int i = 0; i < 2; ++i) {
        held.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        ::connect(held.back(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    return port;
}

// A host that never answers the TLS handshake (pinned: no plain fallback)
// and a connect that gets no answer each end after the limit, 1 s here.
TEST(Trust, AttemptsThatGetNoAnswerEndWithinTheLimit) {
    ::setenv("KOLV_TEST_ATTEMPT_LIMIT_MS", "1000", 1);
    for (bool tls : {true, false}) {
        SCOPED_TRACE(tls ? "silent TLS host" : "unanswered connect");
        Dir dir;
        Host silent(HostMode::Silent);
        std::vector<int> held;
        const std::string port = tls ? silent.portText() : std::to_string(unansweredPort(held));
        writeConfig(dir, Config(port, true));
        dir.write("ulk.pin", kZeroPin);
        const auto start = Clock::now();
        auto bridge = startBridge(dir);
        ASSERT_TRUE(bridge->waitFor("Retry 1 of 10...", 10s)) << bridge->out();
        EXPECT_LT(Clock::now() - start, scaled(5s)) << "1 s limit, 1 s retry wait";
        const std::string attempt =
            tls ? "...OK\r\n[T] SSL...[T] SSL_connect failed.\nfailed.\n"
                : "...connect failed with error: " + std::to_string(osError("connecttimeout")) +
                      ". \nUnable to connect to server!\n";
        EXPECT_NE(masked(bridge->out()).find(port + attempt + "[T] Retry 1 of 10...\r\n"), std::string::npos)
            << bridge->out();
        for (int fd : held) ::close(fd);
    }
    ::unsetenv("KOLV_TEST_ATTEMPT_LIMIT_MS");
}

}  // namespace
}  // namespace kolvtest
