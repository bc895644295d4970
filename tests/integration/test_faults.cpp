// Faults around the real bridge: a host that breaks off, sends junk or stops
// reading, clients that misbehave, an unwritable working folder and a TLS
// host that hangs up mid-handshake. Each case also checks that the bridge
// still works afterwards.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "harness/harness.h"

using namespace std::chrono_literals;
using namespace kolvtest;

namespace {

const std::string kSite = "My Board";
const std::string kSoftware = "Sys 2";
// The cleaned site name that the bridge puts in its own packets.
const std::string kCleanSite = "My_Board";

std::string chat(std::string_view user, std::string_view body) {
    return std::string(user) + "~Site~~~~~" + std::string(body) + "~\n";
}

std::string disconnectNotice(std::string_view user) {
    return std::string(user) + "~" + kCleanSite + "~~NOTME~~~|08- " + std::string(user) + " has disconnected.~\n";
}

// Notices of the bridge itself (latency, reconnect) come from SERVER to
// CLIENT; a host line may match a tracked checksum at any time and bring one.
bool isBridgeNotice(std::string_view line) { return line.rfind("SERVER~~~CLIENT~~~", 0) == 0; }

// The next line that is not a bridge notice.
std::optional<std::string> nextChat(LocalClient& client, Millis timeout) {
    if (client.stream() == nullptr) return std::nullopt;
    auto deadline = deadlineAfter(timeout);
    for (;;) {
        std::optional<std::string> line = client.stream()->readLineBy(deadline);
        if (!line || !isBridgeNotice(*line)) return line;
    }
}

// Connects, sends a first packet that names the client, and waits for the
// latency notice that answers it.
::testing::AssertionResult join(LocalClient& client, int port, const std::string& name) {
    if (!client.connect(port, 5s)) return ::testing::AssertionFailure() << name << " could not connect";
    if (!client.send(chat(name, "hello"))) return ::testing::AssertionFailure() << name << " could not send";
    auto deadline = deadlineAfter(10s);
    for (;;) {
        std::optional<std::string> line = client.stream()->readLineBy(deadline);
        if (!line) return ::testing::AssertionFailure() << name << " got no latency notice";
        if (line->rfind("SERVER~~~CLIENT~~~LATENCY:", 0) == 0) return ::testing::AssertionSuccess();
    }
}

// True when pid is this build's bridge run directly (no KOLV_BRIDGE_CMD)
// and /proc shows it: only then are its /proc figures and its system error
// codes the ones these tests know.
[[maybe_unused]] bool procFiguresAvailable(pid_t pid) {
    const char* command = std::getenv("KOLV_BRIDGE_CMD");
    if (command != nullptr && *command != '\0') return false;
    std::error_code error;
    return std::filesystem::exists("/proc/" + std::to_string(pid) + "/fd", error);
}

[[maybe_unused]] int openDescriptors(pid_t pid) {
    std::error_code error;
    std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error);
    int count = 0;
    for (; !error && it != std::filesystem::directory_iterator(); it.increment(error)) ++count;
    return error ? -1 : count;
}

[[maybe_unused]] long statusFigure(pid_t pid, std::string_view key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(key, 0) == 0) return std::strtol(line.c_str() + key.size(), nullptr, 10);
    }
    return -1;
}

// Polls a /proc figure until it is within slack of want; returns the last value.
template <typename Read>
long waitForFigure(Read read, long want, long slack, Millis timeout) {
    auto deadline = deadlineAfter(timeout);
    for (;;) {
        long now = read();
        if (now >= want - slack && now <= want + slack) return now;
        if (Clock::now() >= deadline) return now;
        std::this_thread::sleep_for(20ms);
    }
}

// A plain connection to the bridge's local port, retried while refused:
// the listener starts listening just after it prints that it is ready.
[[maybe_unused]] int connectLocal(int port, Millis timeout) {
    auto deadline = deadlineAfter(timeout);
    for (;;) {
        int fd = connectTcpBy(localListenAddress(), port, deadline);
        if (fd >= 0 || Clock::now() >= deadline) return fd;
        std::this_thread::sleep_for(10ms);
    }
}

[[maybe_unused]] void closeWithReset(int fd) {
    linger hard{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(fd);
}

// A chat host of our own on 127.0.0.2 for the cases that FakeHost does not
// cover: a small receive buffer, and a different answer per connection.
class RawHostListener {
public:
    explicit RawHostListener(int receiveBuffer = 0) {
        for (int attempt = 0; attempt < 20 && fd_ < 0; ++attempt) {
            int port = freePort();
            int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (fd < 0) break;
            int one = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            // Set before listen so that accepted sockets inherit it.
            if (receiveBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(static_cast<std::uint16_t>(port));
            ::inet_pton(AF_INET, FakeHost::kAddress, &address.sin_addr);
            if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(fd, 8) == 0) {
                fd_ = fd;
                port_ = port;
            } else {
                ::close(fd);
            }
        }
        if (fd_ < 0) throw HarnessError("cannot listen on 127.0.0.2");
    }
    ~RawHostListener() { ::close(fd_); }
    RawHostListener(const RawHostListener&) = delete;
    RawHostListener& operator=(const RawHostListener&) = delete;

    int port() const { return port_; }

    // The next connection (blocking descriptor), or -1 at the deadline.
    int accept(Millis timeout) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, millisLeft(deadlineAfter(timeout))) <= 0) return -1;
        return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    }

private:
    int fd_ = -1;
    int port_ = 0;
};

// Reads the first TLS record (the ClientHello) or whatever comes first.
std::string readFirstRecord(int fd, Millis timeout) {
    auto deadline = deadlineAfter(timeout);
    std::string bytes;
    char chunk[4096];
    for (;;) {
        if (bytes.size() >= 5) {
            std::size_t length = 5 + ((static_cast<std::size_t>(static_cast<unsigned char>(bytes[3])) << 8) |
                                      static_cast<unsigned char>(bytes[4]));
            if (bytes.size() >= length) return bytes;
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, millisLeft(deadline)) <= 0) return bytes;
        ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) return bytes;
        bytes.append(chunk, static_cast<std::size_t>(n));
    }
}

// A bridge started in a fresh folder against a FakeHost, with its first link
// handshaken and its listener open.
class BridgeFixture : public ::testing::Test {
protected:
    void start(std::vector<std::string> args = {"-W1"}) {
        writeConfig(dir_, ConfigOptions(host_.portText()).withSite(kSite).withSoftware(kSoftware));
        startInPreparedFolder(std::move(args));
    }

    void startInPreparedFolder(std::vector<std::string> args) {
        bridge_ = std::make_unique<BridgeProcess>(dir_, std::move(args));
        link_ = host_.waitForConnection(1, 10s);
        ASSERT_NE(link_, nullptr) << bridge_->output();
        ASSERT_EQ(link_->readHandshake(5s), expectedHandshake(kSite, kSoftware));
        ASSERT_TRUE(bridge_->waitForOutput("Ready for clients.", 5s)) << bridge_->output();
    }

    int port() const { return host_.port(); }

    // The bridge still works: a fresh client gets its latency notice, its
    // packet reaches the host, a host chat line reaches it, its departure is
    // told to the host, and the process is alive.
    void expectBridgeWorks(SocketStream& hostSide, const std::string& tag) {
        SCOPED_TRACE("bridge still works: " + tag);
        const std::string name = "Probe" + tag;
        LocalClient probe;
        ASSERT_TRUE(join(probe, port(), name));
        ASSERT_TRUE(hostSide.readUntil(chat(name, "hello"), 10s)) << hostSide.buffered();
        const std::string line = chat("Host", "probe " + tag);
        ASSERT_TRUE(hostSide.send(line));
        // A broadcast still going on when the probe came in may reach it first.
        EXPECT_TRUE(probe.readUntil(line, 10s)) << probe.stream()->buffered();
        probe.close();
        EXPECT_TRUE(hostSide.readUntil(disconnectNotice(name), 10s)) << hostSide.buffered();
        EXPECT_TRUE(bridge_->running());
    }

    TempDir dir_;  // first: outlives the bridge
    FakeHost host_;
    std::unique_ptr<BridgeProcess> bridge_;
    std::shared_ptr<HostConnection> link_;
};

class HostLinkFaults : public BridgeFixture {};
class ClientFaults : public BridgeFixture {};
class WorkingFolderFaults : public BridgeFixture {};

// A run without a line end, made of packet-shaped pieces: any part of it
// that were taken for a line of its own would reach the clients.
std::string junkRun(std::size_t size) {
    static constexpr std::string_view kPiece = "Junk~Site~~~~~0123456789~";
    std::string junk;
    while (junk.size() < size) junk += kPiece;
    junk.resize(size);
    return junk;
}

}  // namespace

// --- host link ---

TEST_F(HostLinkFaults, HostClosingMidPacketLosesTheFragmentAndTheNextLinkStartsClean) {
    start();
    LocalClient client;
    ASSERT_TRUE(join(client, port(), "Ann"));
    ASSERT_TRUE(link_->readUntil(chat("Ann", "hello"), 5s));

    // A whole line and the start of the next in one write, then the close.
    // The fragment has six "~": passed on, it would look like a packet.
    ASSERT_TRUE(link_->send(chat("Bob", "whole") + "Bob~Site~~~~~hal"));
    EXPECT_EQ(nextChat(client, 5s), chat("Bob", "whole"));
    link_->close();
    ASSERT_TRUE(bridge_->waitForOutput("Connection closed with error: 0\n", 5s)) << bridge_->output();
    ASSERT_TRUE(bridge_->waitForOutput("Retry 1...\r\n", 5s)) << bridge_->output();

    auto second = host_.waitForConnection(2, 10s);
    ASSERT_NE(second, nullptr) << bridge_->output();
    ASSERT_EQ(second->readHandshake(5s), expectedHandshake(kSite, kSoftware));
    // Nothing of the old link's fragment is joined to the new link's first line.
    ASSERT_TRUE(second->send(chat("Cat", "after")));
    EXPECT_EQ(nextChat(client, 5s), chat("Cat", "after"));
    EXPECT_EQ(client.stream()->buffered(), "");
    ASSERT_TRUE(waitForLog(dir_, "Reconnection successful", 5s)) << readLog(dir_);
    EXPECT_EQ(readLog(dir_).find("invalid packet"), std::string::npos) << readLog(dir_);

    expectBridgeWorks(second->stream(), "mid");
}

TEST_F(HostLinkFaults, LongRunWithoutLineEndIsReportedAndNotPassedOn) {
    start();
    LocalClient client;
    ASSERT_TRUE(join(client, port(), "Ann"));
    const std::string junk = junkRun(64 * 1024);

    ASSERT_TRUE(link_->send(junk));
    ASSERT_TRUE(link_->send("\n" + chat("Dan", "after junk")));
    // The first thing the client gets is the line after the junk.
    EXPECT_EQ(nextChat(client, 10s), chat("Dan", "after junk"));
    EXPECT_EQ(client.stream()->buffered(), "");

    // The run is one over-long line, however many reads it takes: one
    // report, with its first 511 bytes.
    std::vector<std::string> log = logMessages(dir_);
    std::size_t reports = 0;
    for (std::size_t i = 0; i + 1 < log.size(); ++i) {
        if (log[i] != "WARNING: invalid packet:") continue;
        ++reports;
        EXPECT_EQ(log[i + 1], junk.substr(0, 511));
    }
    EXPECT_EQ(reports, 1u) << readLog(dir_);
    std::printf("[ figures  ] 64 KiB without line end: %zu invalid-packet report(s)\n", reports);

    expectBridgeWorks(link_->stream(), "junk");
    EXPECT_EQ(countOccurrences(readLog(dir_), "WARNING: invalid packet:"), 1u) << readLog(dir_);
}

// A read is handled as text up to its first NUL byte: what follows the NUL
// in the same read, later whole lines included, is not seen.
TEST_F(HostLinkFaults, NulByteHidesTheRestOfItsRead) {
    start();
    LocalClient client;
    ASSERT_TRUE(join(client, port(), "Ann"));

    // NUL inside the only line of interest: the text before it has six "~",
    // so it is taken as a whole packet; the line behind the NUL is lost.
    ASSERT_TRUE(link_->send(std::string("Al~Site~~~~~one\0two~\n", 21) + chat("Bo", "three")));
    EXPECT_EQ(nextChat(client, 5s), "Al~Site~~~~~one\n");
    ASSERT_TRUE(link_->send(chat("Cy", "four")));
    EXPECT_EQ(nextChat(client, 5s), chat("Cy", "four")) << "the line behind the NUL was passed on";

    // NUL after a whole line: the text before the NUL is an unfinished last
    // line, kept and joined to the next read.
    ASSERT_TRUE(link_->send(chat("Di", "d1") + std::string("Ed~Site~~~~~e\0junk~\n", 20)));
    EXPECT_EQ(nextChat(client, 5s), chat("Di", "d1"));
    ASSERT_TRUE(link_->send(chat("Fa", "f")));
    EXPECT_EQ(nextChat(client, 5s), "Ed~Site~~~~~eFa~Site~~~~~f~\n");
    EXPECT_EQ(client.stream()->buffered(), "");

    expectBridgeWorks(link_->stream(), "nul");
}

TEST_F(HostLinkFaults, BytesAboveSevenBitPassUnchanged) {
    start();
    LocalClient client;
    ASSERT_TRUE(join(client, port(), "Ann"));
    std::string high;
    for (int c = 0x80; c <= 0xFF; ++c) high += static_cast<char>(c);

    const std::string fromUser = "Zo\xc3\xab~Sit\xc3\xa9~~~~~caf\xc3\xa9 " + high + "~\n";
    // From SERVER only bytes 7..31 are replaced; high bytes are not control characters.
    const std::string fromServer = "SERVER~~~~~~NOTICE " + high + "~\n";
    ASSERT_TRUE(link_->send(fromUser));
    EXPECT_EQ(nextChat(client, 5s), fromUser);
    ASSERT_TRUE(link_->send(fromServer));
    EXPECT_EQ(nextChat(client, 5s), fromServer);

    expectBridgeWorks(link_->stream(), "high");
}

TEST_F(HostLinkFaults, FloodOfChatLinesArrivesWholeAndInOrder) {
    start();
    LocalClient client;
    ASSERT_TRUE(join(client, port(), "Ann"));
    constexpr int kLines = 2000;  // 5 ms per send to a client: about 10 s
    std::vector<std::string> lines;
    std::string batch;
    for (int i = 0; i < kLines; ++i) {
        char body[32];
        std::snprintf(body, sizeof body, "flood %05d", i);
        lines.push_back(chat("Host", body));
        batch += lines.back();
    }
    auto started = Clock::now();
    ASSERT_TRUE(link_->stream().send(batch, 30s));
    int received = 0;
    for (; received < kLines; ++received) {
        std::optional<std::string> line = nextChat(client, 30s);
        ASSERT_TRUE(line.has_value()) << "line " << received << " did not arrive";
        ASSERT_EQ(*line, lines[static_cast<std::size_t>(received)]) << "line " << received;
    }
    double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    std::printf("[ figures  ] %d host lines to one client in %.1f s\n", received, seconds);
    EXPECT_FALSE(client.stream()->readLine(100ms).has_value()) << "more lines than were sent";

    expectBridgeWorks(link_->stream(), "flood");
}

TEST(TlsHostFaults, HangUpsDuringTlsHandshakeAreRetriedUntilAHostAnswers) {
    TempDir dir;
    RawHostListener listener;
    writeConfig(dir, ConfigOptions(std::to_string(listener.port())).withTls().withSite(kSite).withSoftware(kSoftware));
    BridgeProcess bridge(dir, {"-W1"});

    for (int attempt = 1; attempt <= 2; ++attempt) {
        SCOPED_TRACE("attempt " + std::to_string(attempt));
        int fd = listener.accept(15s);
        ASSERT_GE(fd, 0) << bridge.output();
        std::string hello = readFirstRecord(fd, 5s);
        EXPECT_TRUE(hello.size() >= 6 && hello[0] == 0x16 && hello[5] == 0x01) << "no ClientHello";
        ::shutdown(fd, SHUT_RDWR);
        ::close(fd);
        ASSERT_TRUE(bridge.waitForOutput("SSL_connect failed.\n", 10s, static_cast<std::size_t>(attempt)))
            << bridge.output();
    }

    // The third host completes the TLS handshake.
    int fd = listener.accept(15s);
    ASSERT_GE(fd, 0) << bridge.output();
    timeval bound{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    SSL* ssl = SSL_new(serverTlsContext());
    ASSERT_NE(ssl, nullptr);
    SSL_set_fd(ssl, fd);
    int accepted = SSL_accept(ssl);
    std::string tlsError = tlsErrorText();
    if (accepted != 1) {
        SSL_free(ssl);
        ::close(fd);
    }
    ASSERT_EQ(accepted, 1) << tlsError << bridge.stderrOutput();
    SocketStream host(fd, ssl);  // owns both from here
    ASSERT_EQ(host.readSome(5s), expectedHandshake(kSite, kSoftware));
    ASSERT_TRUE(bridge.waitForOutput("SSL...OK\r\n", 5s)) << bridge.output();
    ASSERT_TRUE(bridge.waitForOutput("Ready for clients.", 5s)) << bridge.output();

    EXPECT_EQ(countOccurrences(bridge.output(), "SSL_connect failed.\n"), 2u) << bridge.output();
    EXPECT_EQ(countOccurrences(bridge.output(), "SSL...OK\r\n"), 1u) << bridge.output();
    ASSERT_TRUE(waitForLog(dir, "Reconnection successful", 5s)) << readLog(dir);
    EXPECT_EQ(countOccurrences(readLog(dir), "SSL_connect failed\n"), 2u) << readLog(dir);

    // It works over TLS: HELLO is answered, chat flows both ways.
    ASSERT_TRUE(host.send("SERVER~~~~~~HELLO~\n"));
    EXPECT_TRUE(host.readUntil("CLIENT~" + kCleanSite + "~~SERVER~~~CAPABILITIES: MCI SSL CTCP~\n", 5s))
        << host.buffered();
    LocalClient client;
    ASSERT_TRUE(join(client, listener.port(), "Tess"));
    EXPECT_TRUE(host.readUntil(chat("Tess", "hello"), 5s)) << host.buffered();
    const std::string line = chat("Host", "over tls");
    ASSERT_TRUE(host.send(line));
    EXPECT_EQ(nextChat(client, 5s), line);
    EXPECT_TRUE(bridge.running());
}
