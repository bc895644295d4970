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
bool procFiguresAvailable(pid_t pid) {
    const char* command = std::getenv("KOLV_BRIDGE_CMD");
    if (command != nullptr && *command != '\0') return false;
    std::error_code error;
    return std::filesystem::exists("/proc/" + std::to_string(pid) + "/fd", error);
}

int openDescriptors(pid_t pid) {
    std::error_code error;
    std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error);
    int count = 0;
    for (; !error && it != std::filesystem::directory_iterator(); it.increment(error)) ++count;
    return error ? -1 : count;
}

long statusFigure(pid_t pid, std::string_view key) {
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
int connectLocal(int port, Millis timeout) {
    auto deadline = deadlineAfter(timeout);
    for (;;) {
        int fd = connectTcpBy(localListenAddress(), port, deadline);
        if (fd >= 0 || Clock::now() >= deadline) return fd;
        std::this_thread::sleep_for(10ms);
    }
}

void closeWithReset(int fd) {
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

// The host stops reading while a client keeps sending: host writes fail
// after their 5 s bound instead of hanging the bridge, host-to-client
// traffic goes on meanwhile, and once the host reads again all works.
TEST(HostLinkStall, HostThatStopsReadingDoesNotHangTheBridge) {
    TempDir dir;
    RawHostListener listener(4096);
    writeConfig(dir, ConfigOptions(std::to_string(listener.port())).withSite(kSite).withSoftware(kSoftware));
    BridgeProcess bridge(dir, {"-W1"});
    int hostFd = listener.accept(10s);
    ASSERT_GE(hostFd, 0) << bridge.output();
    SocketStream host(hostFd);
    ASSERT_EQ(host.readSome(5s), expectedHandshake(kSite, kSoftware));
    ASSERT_TRUE(bridge.waitForOutput("Ready for clients.", 5s)) << bridge.output();

    LocalClient watcher;
    ASSERT_TRUE(join(watcher, listener.port(), "Watcher"));

    // Clients that flood without a name until a host write fails; the host
    // does not read from here on. Each client's relay is paced at 513 bytes
    // per 10 ms, and the bridge's send buffer towards the host can grow to
    // megabytes: many flooders fill it in seconds.
    constexpr int kFlooders = 32;
    constexpr std::size_t kFloodCap = 1u << 20;  // per flooder: more than it can relay in the deadline
    std::vector<int> flooders;
    for (int i = 0; i < kFlooders; ++i) {
        int fd = connectLocal(listener.port(), 5s);
        ASSERT_GE(fd, 0);
        flooders.push_back(fd);
    }
    const std::string filler(64 * 1024, 'f');
    auto floodStart = Clock::now();
    auto floodDeadline = deadlineAfter(40s);
    std::vector<std::size_t> offered(flooders.size(), 0);
    bool failed = false;
    while (!failed && Clock::now() < floodDeadline) {
        bool sentAny = false;
        for (std::size_t i = 0; i < flooders.size(); ++i) {
            if (offered[i] >= kFloodCap) continue;
            ssize_t n = ::send(flooders[i], filler.data(), filler.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) {
                offered[i] += static_cast<std::size_t>(n);
                sentAny = true;
            }
        }
        failed = bridge.waitForOutput("sendHostPacket failed with error: ", sentAny ? 0ms : 50ms);
    }
    double toFailure = std::chrono::duration<double>(Clock::now() - floodStart).count();
    std::size_t flooded = 0;
    for (std::size_t bytes : offered) flooded += bytes;
    std::printf("[ figures  ] stalled host: first failed host write after %.1f s, %zu bytes offered\n", toFailure,
                flooded);
    ASSERT_TRUE(failed) << "no failed host write within the deadline\n" << bridge.output();
    EXPECT_LT(toFailure, static_cast<double>(scaled(30s).count()) / 1000.0);
    ASSERT_TRUE(waitForLog(dir, "sendHostPacket failed with error: ", 5s)) << readLog(dir);
    if (procFiguresAvailable(bridge.pid())) {
        // This build's bridge: the send time-out shows as EAGAIN.
        EXPECT_TRUE(bridge.waitForOutput("sendHostPacket failed with error: 11\n", 0ms)) << bridge.output();
    }

    // Meanwhile the host's lines still reach clients, and a new client is
    // still admitted and answered.
    const std::string during = chat("Host", "during stall");
    ASSERT_TRUE(host.send(during));
    EXPECT_EQ(nextChat(watcher, 10s), during);
    LocalClient fresh;
    EXPECT_TRUE(join(fresh, listener.port(), "Fresh"));

    // The flood stops (reset: its queued bytes are dropped) and the host
    // reads again; once it does, a new packet of Fresh's gets through. The
    // bridge's send buffer may hold megabytes of flood by now: a receive
    // window as small as the stall's would take tens of seconds to drain it.
    for (int fd : flooders) closeWithReset(fd);
    const int drainBuffer = 4 << 20;
    ::setsockopt(hostFd, SOL_SOCKET, SO_RCVBUF, &drainBuffer, sizeof drainBuffer);
    std::mutex seenMutex;
    std::string seen;  // the tail of what the host has read
    std::atomic<bool> stopReading{false};
    std::thread reader([&] {
        while (!stopReading.load()) {
            std::string more = host.readSome(100ms);
            if (more.empty() && host.peerClosed()) return;
            std::lock_guard<std::mutex> lock(seenMutex);
            seen += more;
            if (seen.size() > (1u << 16)) seen.erase(0, seen.size() - 4096);  // the flood can be megabytes
        }
    });
    auto hostHasRead = [&](const std::string& text) {
        std::lock_guard<std::mutex> lock(seenMutex);
        return seen.find(text) != std::string::npos;
    };
    ASSERT_TRUE(fresh.send(chat("Fresh", "after stall")));
    bool through = false;
    for (auto until = deadlineAfter(60s); !through && Clock::now() < until;) {
        through = hostHasRead(chat("Fresh", "after stall"));
        if (!through) std::this_thread::sleep_for(20ms);
    }
    stopReading.store(true);
    reader.join();
    ASSERT_TRUE(through) << bridge.output();
    ASSERT_TRUE(host.send("SERVER~~~~~~HELLO~\n"));
    EXPECT_TRUE(host.readUntil("CLIENT~" + kCleanSite + "~~SERVER~~~CAPABILITIES: MCI CTCP~\n", 20s))
        << bridge.output();
    const std::string after = chat("Host", "after stall");
    ASSERT_TRUE(host.send(after));
    EXPECT_EQ(nextChat(watcher, 10s), after);
    EXPECT_TRUE(fresh.readUntil(after, 10s));  // it may have joined during the earlier broadcast
    EXPECT_TRUE(bridge.running());
    EXPECT_EQ(bridge.output().find("Connection closed"), std::string::npos) << "the link was not lost";
}

// --- local clients ---

TEST_F(ClientFaults, SilentClientHoldsItsSlotGetsChatAndLeavesWithoutNotice) {
    start();
    LocalClient silent;
    ASSERT_TRUE(silent.connect(port(), 5s));
    LocalClient named;
    ASSERT_TRUE(join(named, port(), "Named"));
    // The silent one took slot 0 without a join line.
    EXPECT_TRUE(bridge_->waitForOutput("Named entered chat (slot #1 occupied).", 5s)) << bridge_->output();
    EXPECT_EQ(bridge_->output().find("(slot #0 occupied)"), std::string::npos) << bridge_->output();

    // Being in the table, it gets host chat all the same.
    const std::string line = chat("Host", "to all");
    ASSERT_TRUE(link_->send(line));
    EXPECT_EQ(nextChat(named, 5s), line);
    EXPECT_EQ(nextChat(silent, 5s), line);

    silent.close();
    ASSERT_TRUE(bridge_->waitForOutput("]  has left chat (slot #0 cleared).\n", 5s)) << bridge_->output();
    // The host got nothing for the silent client: only Named's packets.
    ASSERT_TRUE(named.send(chat("Named", "marker")));
    EXPECT_EQ(link_->readLine(5s), chat("Named", "hello"));
    EXPECT_EQ(link_->readLine(5s), chat("Named", "marker"));

    // Slot 0 is free again.
    LocalClient next;
    ASSERT_TRUE(join(next, port(), "Next"));
    EXPECT_TRUE(bridge_->waitForOutput("Next entered chat (slot #0 occupied).", 5s)) << bridge_->output();
    EXPECT_EQ(link_->readLine(5s), chat("Next", "hello"));
    expectBridgeWorks(link_->stream(), "silent");
}

TEST_F(ClientFaults, OneMebibyteAtOnceReachesTheHostWholeInBoundedChunks) {
    start({"-W1", "-V"});  // -V traces every relay, so the relays can be counted
    // 16384 numbered packets of 64 bytes: exactly 1 MiB.
    std::string data;
    data.reserve(1u << 20);
    for (int i = 0; i < 16384; ++i) {
        char head[32];
        std::snprintf(head, sizeof head, "Big~Site~~~~~n%06d ", i);
        std::string packet = head;
        packet.append(62 - packet.size(), '.');
        packet += "~\n";
        data += packet;
    }
    ASSERT_EQ(data.size(), 1u << 20);

    LocalClient big;
    ASSERT_TRUE(big.connect(port(), 5s));
    auto started = Clock::now();
    ASSERT_TRUE(big.stream()->send(data, 120s));
    std::string received;
    auto deadline = deadlineAfter(120s);
    while (received.size() < data.size()) {
        std::string more = link_->stream().readSomeBy(deadline);
        if (more.empty()) break;
        received += more;
    }
    double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    ASSERT_EQ(received.size(), data.size());
    if (received != data) {
        std::size_t at = 0;
        while (received[at] == data[at]) ++at;
        ADD_FAILURE() << "the relayed bytes differ from the sent ones from offset " << at << ": \""
                      << received.substr(at, 80) << "\" instead of \"" << data.substr(at, 80) << "\"";
    }
    EXPECT_FALSE(link_->readLine(200ms).has_value()) << "bytes beyond the 1 MiB";

    // At most 513 bytes per relay: at least 1048576 / 513 relays.
    std::size_t relays = countOccurrences(readLog(dir_), "sendHostPacket \"");
    std::printf("[ figures  ] 1 MiB from one client relayed in %.1f s, %zu relays\n", seconds, relays);
    EXPECT_GE(relays, (data.size() + 512) / 513);
    EXPECT_TRUE(bridge_->waitForOutput("Big entered chat (slot #0 occupied).", 1s));

    big.close();
    EXPECT_EQ(link_->readLine(10s), disconnectNotice("Big"));
    expectBridgeWorks(link_->stream(), "big");
}

TEST_F(ClientFaults, ClientClosingMidPacketHasItsFragmentRelayed) {
    start();
    {
        SCOPED_TRACE("named client");
        LocalClient dana;
        ASSERT_TRUE(join(dana, port(), "Dana"));
        ASSERT_TRUE(dana.send("Dana~Site~~~~~par"));
        dana.close();
        ASSERT_TRUE(bridge_->waitForOutput("Dana has left chat (slot #0 cleared).", 5s)) << bridge_->output();
        EXPECT_EQ(link_->readLine(5s), chat("Dana", "hello"));
        // The fragment goes out as it came, the departure notice right behind it.
        EXPECT_EQ(link_->readLine(5s), "Dana~Site~~~~~par" + disconnectNotice("Dana"));
    }
    {
        SCOPED_TRACE("unnamed client");
        LocalClient nameless;
        ASSERT_TRUE(nameless.connect(port(), 5s));
        ASSERT_TRUE(nameless.send("frag~ment~"));
        nameless.close();
        ASSERT_TRUE(bridge_->waitForOutput("]  has left chat (slot #0 cleared).", 5s)) << bridge_->output();
        LocalClient marker;
        ASSERT_TRUE(join(marker, port(), "Marker"));
        // The fragment, then nothing from the unnamed client before Marker's packet.
        EXPECT_EQ(link_->readUntil(chat("Marker", "hello"), 5s), "frag~ment~" + chat("Marker", "hello"));
    }
    expectBridgeWorks(link_->stream(), "frag");
}

TEST_F(ClientFaults, ThousandConnectCloseCyclesLeakNothing) {
    start();
    const pid_t pid = bridge_->pid();
    const bool figures = procFiguresAvailable(pid);
    const int fdsBefore = figures ? openDescriptors(pid) : -1;
    const long threadsBefore = figures ? statusFigure(pid, "Threads:") : -1;

    // Bursts of 25 connections, each burst closed at once, the next burst
    // when the bridge has seen them all leave: never more than half of the
    // table is taken, so each connection gets a slot and a leave line.
    constexpr int kCycles = 1000;
    constexpr int kBurst = 25;
    const std::string leaveLine = "]  has left chat (slot #";
    auto started = Clock::now();
    for (int i = 0; i < kCycles; ++i) {
        int fd = connectLocal(port(), 5s);
        ASSERT_GE(fd, 0) << "cycle " << i;
        // Half of them end with a reset, so the receive fails instead of ending.
        if (i % 2 == 0) {
            ::close(fd);
        } else {
            closeWithReset(fd);
        }
        if ((i + 1) % kBurst == 0) {
            ASSERT_TRUE(bridge_->waitForOutput(leaveLine, 10s, static_cast<std::size_t>(i + 1)))
                << "cycle " << i << ": " << countOccurrences(bridge_->output(), leaveLine) << " leave lines";
        }
    }
    double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    EXPECT_LT(seconds, static_cast<double>(scaled(60s).count()) / 1000.0);
    EXPECT_EQ(countOccurrences(bridge_->output(), leaveLine), std::size_t{kCycles});
    EXPECT_EQ(countOccurrences(bridge_->output(), "entered chat"), 0u);

    // Their threads end and their descriptors are closed.
    long fdsAfter = -1;
    long threadsAfter = -1;
    if (figures) {
        threadsAfter = waitForFigure([&] { return statusFigure(pid, "Threads:"); }, threadsBefore, 0, 10s);
        fdsAfter = waitForFigure([&] { return long{openDescriptors(pid)}; }, fdsBefore, 0, 5s);
        EXPECT_LE(std::labs(fdsAfter - fdsBefore), 1) << "descriptors leaked";
        EXPECT_EQ(threadsAfter, threadsBefore) << "client threads left behind";
    }
    std::printf("[ figures  ] %d connect/close cycles in %.1f s; fds %d -> %ld, threads %ld -> %ld\n", kCycles,
                seconds, fdsBefore, fdsAfter, threadsBefore, threadsAfter);

    LocalClient after;
    ASSERT_TRUE(join(after, port(), "After"));
    EXPECT_TRUE(bridge_->waitForOutput("After entered chat (slot #0 occupied).", 5s)) << bridge_->output();
    after.close();
    ASSERT_TRUE(bridge_->waitForOutput("After has left chat (slot #0 cleared).", 5s));
    expectBridgeWorks(link_->stream(), "cycles");
}

// --- working folder ---

// kolv.log and ulkstats.dat are directories (root ignores file modes): the
// bridge writes neither, says nothing about it and goes on.
TEST_F(WorkingFolderFaults, UnwritableLogAndStatisticsAreSkippedSilently) {
    writeConfig(dir_, ConfigOptions(host_.portText()).withSite(kSite).withSoftware(kSoftware));
    std::filesystem::create_directory(dir_.file("kolv.log"));
    std::filesystem::create_directory(dir_.file("ulkstats.dat"));
    startInPreparedFolder({"-W1", "-V"});  // -V: every trace tries the log too
    ASSERT_FALSE(HasFatalFailure());

    LocalClient client;
    ASSERT_TRUE(join(client, port(), "Ann"));
    ASSERT_TRUE(link_->readUntil(chat("Ann", "hello"), 5s));

    ASSERT_TRUE(link_->send("SERVER~~~~~~HELLO~\n"));
    // An empty info text leaves the format's placeholder as it is.
    EXPECT_EQ(link_->readLine(5s), "CLIENT~" + kCleanSite + "~~SERVER~~~INFOWEB:%s~\n");
    EXPECT_TRUE(link_->readUntil("CLIENT~" + kCleanSite + "~~SERVER~~~CAPABILITIES: MCI CTCP~\n", 5s));
    ASSERT_TRUE(link_->send("SERVER~~~~~~ping~\n"));
    std::optional<std::string> alive = link_->readLine(5s);
    ASSERT_TRUE(alive.has_value());
    EXPECT_NE(alive->find("~IMALIVE:" + kSite + "~\n"), std::string::npos) << *alive;
    EXPECT_EQ(link_->readLine(5s), "CLIENT~" + kCleanSite + "~~SERVER~~~STATS~\n");
    ASSERT_TRUE(link_->send("SERVER~~~~~~STATS:1 2 3~\n"));
    ASSERT_TRUE(link_->send("bad~line~\n"));  // an invalid packet: logged, if the log could be written
    const std::string line = chat("Host", "still here");
    ASSERT_TRUE(link_->send(line));
    EXPECT_EQ(nextChat(client, 5s), line) << "a STATS command or invalid line was passed on";

    // A lost link, whose report cannot be logged either, is retried.
    link_->close();
    ASSERT_TRUE(bridge_->waitForOutput("Connection closed with error: 0\n", 5s)) << bridge_->output();
    auto second = host_.waitForConnection(2, 10s);
    ASSERT_NE(second, nullptr) << bridge_->output();
    ASSERT_EQ(second->readHandshake(5s), expectedHandshake(kSite, kSoftware));
    expectBridgeWorks(second->stream(), "folder");

    EXPECT_TRUE(std::filesystem::is_directory(dir_.file("kolv.log")));
    EXPECT_TRUE(std::filesystem::is_empty(dir_.file("kolv.log")));
    EXPECT_TRUE(std::filesystem::is_directory(dir_.file("ulkstats.dat")));
    EXPECT_TRUE(std::filesystem::is_empty(dir_.file("ulkstats.dat")));
    EXPECT_TRUE(bridge_->running());
}

// --- TLS ---

// Two TLS hosts hang up in the middle of the TLS handshake; the third
// completes it. The bridge reports each failure, retries, and works over TLS.
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
