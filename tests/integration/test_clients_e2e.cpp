// Local clients of the real bridge against a fake host: joining and the
// latency notice, slots and capacity, relaying, departure notices, latency
// measured on echoes, a lost host link, a taken local port and a client
// that stops reading.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "harness/harness.h"
#include "harness/packets.h"

using namespace std::chrono_literals;
using namespace kolvtest;

namespace {

const std::string kSite = "My Board";
const std::string kCleanSite = "My_Board";
const std::string kSoftware = "Sys 2";
const std::string kReconnect = "SERVER~~~CLIENT~~~RECONNECT~\n";
const std::string kCapabilities = "CLIENT~My_Board~~SERVER~~~CAPABILITIES: MCI CTCP~\n";

// A chat packet of a local user: Name~HomeBoard~~~~~body~\n
std::string chat(const std::string& user, const std::string& body) { return user + "~HomeBoard~~~~~" + body + "~\n"; }

std::string departure(const std::string& user) {
    return user + "~" + kCleanSite + "~~NOTME~~~|08- " + user + " has disconnected.~\n";
}

// How long the fake host takes before it sends a relayed packet back: the
// bridge records a relayed packet only 10 ms after writing it, so an echo
// that comes sooner could not be matched.
void hostRoundTrip() { std::this_thread::sleep_for(50ms); }

// A bridge (-W1 unless told otherwise) in a temporary directory with a
// plain fake host.
struct Rig {
    TempDir dir;
    FakeHost host;
    std::unique_ptr<BridgeProcess> bridge;
    std::shared_ptr<HostConnection> link;

    // Writes the configuration, starts the bridge and takes its first link
    // up to the handshake; waits for the local listener unless told not to.
    bool start(std::vector<std::string> args = {"-W1"}, bool waitForListener = true) {
        writeConfig(dir, ConfigOptions(host.portText()).withSite(kSite).withSoftware(kSoftware));
        bridge = std::make_unique<BridgeProcess>(dir.path(), args);
        link = host.waitForConnection(1, 10s);
        if (link == nullptr) {
            ADD_FAILURE() << "no host connection: " << bridge->output();
            return false;
        }
        std::string handshake = link->readHandshake(5s);
        if (handshake != expectedHandshake(kSite, kSoftware)) {
            ADD_FAILURE() << "handshake: \"" << handshake << "\"";
            return false;
        }
        if (waitForListener && !bridge->waitForOutput("] Ready for clients.\n", 5s)) {
            ADD_FAILURE() << "listener not open: " << bridge->output();
            return false;
        }
        return true;
    }

    // Waits until the console holds line (a stamped line, see joinLine) at
    // least count times.
    bool console(const std::string& line, std::size_t count = 1, Millis timeout = 5s) {
        return bridge->waitForOutput(line, timeout, count);
    }

    std::unique_ptr<LocalClient> connect() {
        auto client = std::make_unique<LocalClient>();
        if (!client->connect(host.port(), 5s)) {
            ADD_FAILURE() << "local client cannot connect";
            return nullptr;
        }
        return client;
    }

    // A client that names itself with its first packet: the join line, its
    // latency notice and the relay of the packet are checked.
    std::unique_ptr<LocalClient> join(const std::string& user, int slot, long long latency = 0) {
        auto client = connect();
        if (client == nullptr) return nullptr;
        const std::string packet = chat(user, "|07Hello");
        const std::size_t joinsBefore = countOccurrences(bridge->output(), joinLine(user, slot));
        EXPECT_TRUE(client->send(packet));
        EXPECT_TRUE(console(joinLine(user, slot), joinsBefore + 1)) << bridge->output();
        EXPECT_EQ(text(client->readLine(5s)), latencyPacket(latency));
        EXPECT_EQ(text(link->readLine(5s)), packet);
        return client;
    }

    // Sends HELLO and returns the seven lines of the answer.
    std::vector<std::string> hello(HostConnection& connection) {
        std::vector<std::string> lines;
        EXPECT_TRUE(connection.send("SERVER~~~~~~HELLO~\n"));
        for (int i = 0; i < 7; ++i) {
            std::optional<std::string> line = connection.readLine(5s);
            if (!line) break;
            lines.push_back(*line);
        }
        return lines;
    }
};

// A file descriptor closed on destruction.
struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int value) : fd(value) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

// A listening socket on the address where the bridge would listen, taking
// the port from it. -1 on failure.
int occupyLocalPort(int port) {
    sockaddr_storage address;
    socklen_t length = 0;
    if (!fillAddress(localListenAddress(), port, address, length)) return -1;
    int fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, 4) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A local client that will not read. Its small receive buffer and its small
// segment size (which the bridge's kernel sizes its send buffer by) let a few
// hundred kilobytes fill the whole path; with the defaults the bridge's send
// buffer alone takes megabytes. Blocking fd, or -1.
int connectStuckClient(int port, Millis timeout) {
    sockaddr_storage address;
    socklen_t length = 0;
    if (!fillAddress(localListenAddress(), port, address, length)) return -1;
    int fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    int receiveBuffer = 4096;
    int segment = 536;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    ::setsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &segment, sizeof segment);
    int result = ::connect(fd, reinterpret_cast<sockaddr*>(&address), length);
    if (result != 0 && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, millisLeft(deadlineAfter(timeout))) == 1) {
            int error = 0;
            socklen_t size = sizeof error;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
            result = error == 0 ? 0 : -1;
        }
    }
    if (result != 0) {
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL, 0) & ~O_NONBLOCK);
    return fd;
}

}  // namespace

// --- joining ---

TEST(ClientsJoin, FirstPacketAnnouncesTheUserSendsLatencyAndGoesToTheHostUnchanged) {
    Rig rig;
    ASSERT_TRUE(rig.start());
    LocalClient alice;
    ASSERT_TRUE(alice.connect(rig.host.port(), 5s));
    const std::string packet = "Alice~HomeBoard~~~~~|07Hello~\n";
    ASSERT_TRUE(alice.send(packet));

    EXPECT_TRUE(rig.console("] Alice entered chat (slot #0 occupied).\n")) << rig.bridge->output();
    EXPECT_EQ(text(alice.readLine(5s)), "SERVER~~~CLIENT~~~LATENCY:0~\n");
    EXPECT_EQ(text(rig.link->readLine(5s)), packet);

    // A later packet under another name relays but does not rename.
    const std::string other = "Mallory~HomeBoard~~~~~|07Hi~\n";
    ASSERT_TRUE(alice.send(other));
    EXPECT_EQ(text(rig.link->readLine(5s)), other);
    EXPECT_EQ(countOccurrences(rig.bridge->output(), "entered chat"), 1u);
    // Join lines are logged only with -V.
    EXPECT_FALSE(logExists(rig.dir)) << readLog(rig.dir);
}

TEST(ClientsJoin, FiveTildesGiveNoNameAndALaterFullPacketDoes) {
    Rig rig;
    ASSERT_TRUE(rig.start());
    LocalClient client;
    ASSERT_TRUE(client.connect(rig.host.port(), 5s));

    const std::string five = "Bob~HomeBoard~~~|07Hi~\n";
    ASSERT_EQ(countOccurrences(five, "~"), 5u);
    ASSERT_TRUE(client.send(five));
    // The join would come before the relay: once the host has the chunk,
    // it is too late for one.
    EXPECT_EQ(text(rig.link->readLine(5s)), five);
    EXPECT_EQ(rig.bridge->output().find("entered chat"), std::string::npos) << rig.bridge->output();
    EXPECT_EQ(client.stream()->readSome(200ms), "") << "no latency notice without a name";

    const std::string full = chat("Carl", "|07Hi");
    ASSERT_TRUE(client.send(full));
    EXPECT_TRUE(rig.console(joinLine("Carl", 0))) << rig.bridge->output();
    EXPECT_EQ(text(client.readLine(5s)), latencyPacket(0));
    EXPECT_EQ(text(rig.link->readLine(5s)), full);

    client.close();
    EXPECT_EQ(text(rig.link->readLine(5s)), departure("Carl"));
    EXPECT_TRUE(rig.console(leaveLine("Carl", 0))) << rig.bridge->output();
}

TEST(ClientsJoin, EmptyFirstFieldJoinsWithoutANameUntilANamedPacketComes) {
    Rig rig;
    ASSERT_TRUE(rig.start());
    LocalClient client;
    ASSERT_TRUE(client.connect(rig.host.port(), 5s));

    const std::string nameless = "~HomeBoard~~~~~|07Hi~\n";
    for (std::size_t round = 1; round <= 2; ++round) {
        ASSERT_TRUE(client.send(nameless));
        EXPECT_TRUE(rig.console(joinLine("", 0), round)) << rig.bridge->output();
        EXPECT_EQ(text(client.readLine(5s)), latencyPacket(0));
        EXPECT_EQ(text(rig.link->readLine(5s)), nameless);
    }
    const std::string named = chat("Dan", "|07Hi");
    ASSERT_TRUE(client.send(named));
    EXPECT_TRUE(rig.console(joinLine("Dan", 0))) << rig.bridge->output();
    EXPECT_EQ(text(client.readLine(5s)), latencyPacket(0));
    EXPECT_EQ(text(rig.link->readLine(5s)), named);
}

TEST(ClientsJoin, UserNamesAreKeptUpTo29CharactersAndLongerOnesCut) {
    Rig rig;
    ASSERT_TRUE(rig.start());
    const std::string name29 = "ZYXWVUTSRQPONMLKJIHGFEDCBA987";
    ASSERT_EQ(name29.size(), 29u);
    auto whole = rig.join(name29, 0);
    ASSERT_NE(whole, nullptr);

    const std::string name40 = "abcdefghijklmnopqrstuvwxyz0123456789ABCD";
    const std::string cut = name40.substr(0, 29);
    LocalClient longName;
    ASSERT_TRUE(longName.connect(rig.host.port(), 5s));
    const std::string packet = chat(name40, "|07Hello");
    ASSERT_TRUE(longName.send(packet));
    EXPECT_TRUE(rig.console(joinLine(cut, 1))) << rig.bridge->output();
    EXPECT_EQ(rig.bridge->output().find(name40.substr(0, 30)), std::string::npos) << rig.bridge->output();
    EXPECT_EQ(text(longName.readLine(5s)), latencyPacket(0));
    EXPECT_EQ(text(rig.link->readLine(5s)), packet) << "the relay keeps the whole name";

    longName.close();
    EXPECT_EQ(text(rig.link->readLine(5s)), departure(cut));
    EXPECT_TRUE(rig.console(leaveLine(cut, 1))) << rig.bridge->output();
    whole->close();
    EXPECT_EQ(text(rig.link->readLine(5s)), departure(name29));
    EXPECT_TRUE(rig.console(leaveLine(name29, 0))) << rig.bridge->output();
}

// --- slots ---

TEST(ClientsSlots, LowestFreeSlotIsGivenAndAFreedSlotReused) {
    Rig rig;
    ASSERT_TRUE(rig.start());
    auto anna = rig.join("Anna", 0);
    auto bert = rig.join("Bert", 1);
    auto cleo = rig.join("Cleo", 2);
    ASSERT_TRUE(anna && bert && cleo);

    anna->close();
    EXPECT_EQ(text(rig.link->readLine(5s)), departure("Anna"));
    ASSERT_TRUE(rig.console(leaveLine("Anna", 0))) << rig.bridge->output();
    auto dora = rig.join("Dora", 0);
    ASSERT_NE(dora, nullptr);
    auto emil = rig.join("Emil", 3);
    ASSERT_NE(emil, nullptr);
}

TEST(ClientsSlots, FiftyFirstClientIsClosedAtOnceWhileTheFiftyStayServed) {
    Rig rig;
    ASSERT_TRUE(rig.start());
    std::vector<std::unique_ptr<LocalClient>> clients;
    for (int i = 0; i < 50; ++i) {
        auto client = rig.connect();
        ASSERT_NE(client, nullptr) << "client " << i;
        ASSERT_TRUE(client->send(chat("U" + std::to_string(i), "|07Hi")));
        clients.push_back(std::move(client));
    }
    ASSERT_TRUE(rig.console(" entered chat (slot #", 50, 20s)) << rig.bridge->output();
    // Every user got a slot of its own.
    std::vector<int> slotOf(50, -1);
    std::vector<bool> taken(50, false);
    static const std::regex kJoin("U([0-9]+) entered chat \\(slot #([0-9]+) occupied\\)\\.");
    for (const std::string& line : stampedLines(rig.bridge->output())) {
        std::smatch match;
        if (!std::regex_match(line, match, kJoin)) continue;
        int user = std::stoi(match[1].str());
        int slot = std::stoi(match[2].str());
        ASSERT_TRUE(user >= 0 && user < 50 && slot >= 0 && slot < 50) << line;
        EXPECT_EQ(slotOf[static_cast<std::size_t>(user)], -1) << line;
        EXPECT_FALSE(taken[static_cast<std::size_t>(slot)]) << line;
        slotOf[static_cast<std::size_t>(user)] = slot;
        taken[static_cast<std::size_t>(slot)] = true;
    }
    for (int i = 0; i < 50; ++i) EXPECT_NE(slotOf[static_cast<std::size_t>(i)], -1) << "U" << i;

    LocalClient extra;
    ASSERT_TRUE(extra.connect(rig.host.port(), 5s));
    const auto closedFrom = Clock::now();
    EXPECT_TRUE(extra.waitClosed(2s)) << "a 51st client is closed at once";
    EXPECT_LT(Clock::now() - closedFrom, scaled(2s));
    EXPECT_EQ(extra.stream()->buffered(), "");

    const std::string broadcast = "Host~Far~~~~~|07To all~\n";
    ASSERT_TRUE(rig.link->send(broadcast));
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(text(clients[static_cast<std::size_t>(i)]->readLine(5s)), latencyPacket(0)) << "U" << i;
        EXPECT_EQ(text(clients[static_cast<std::size_t>(i)]->readLine(5s)), broadcast) << "U" << i;
    }

    // A freed slot takes the next client again.
    const int freed = slotOf[17];
    clients[17]->close();
    ASSERT_TRUE(rig.console(leaveLine("U17", freed))) << rig.bridge->output();
    auto late = rig.connect();
    ASSERT_NE(late, nullptr);
    ASSERT_TRUE(late->send(chat("Late", "|07Hi")));
    EXPECT_TRUE(rig.console(joinLine("Late", freed))) << rig.bridge->output();
    EXPECT_EQ(text(late->readLine(5s)), latencyPacket(0));
}

// --- departure ---

TEST(ClientsDeparture, NamedClientClosingWithoutLogoffIsAnnouncedInItsName) {
    Rig rig;
    ASSERT_TRUE(rig.start());
    auto alice = rig.join("Alice", 0);
    ASSERT_NE(alice, nullptr);
    alice->close();
    EXPECT_EQ(text(rig.link->readLine(5s)), "Alice~My_Board~~NOTME~~~|08- Alice has disconnected.~\n");
    EXPECT_TRUE(rig.console("] Alice has left chat (slot #0 cleared).\n")) << rig.bridge->output();
    EXPECT_FALSE(logExists(rig.dir)) << "leave lines are logged only with -V";
}

TEST(ClientsDeparture, LogoffAnywhereInAChunkSuppressesTheNotice) {
    Rig rig;
    ASSERT_TRUE(rig.start());
    auto alone = rig.join("Alone", 0);
    auto middle = rig.join("Middle", 1);
    ASSERT_TRUE(alone && middle);

    const std::string logoff = "Alone~HomeBoard~~~~~LOGOFF~\n";
    ASSERT_TRUE(alone->send(logoff));
    EXPECT_EQ(text(rig.link->readLine(5s)), logoff);
    // A logoff does not end the connection: what follows is still relayed.
    const std::string after = chat("Alone", "|07Still here");
    ASSERT_TRUE(alone->send(after));
    EXPECT_EQ(text(rig.link->readLine(5s)), after);

    const std::string three = chat("Middle", "|07One") + "Middle~HomeBoard~~~~~LOGOFF~\n" + chat("Middle", "|07Two");
    ASSERT_TRUE(middle->send(three));
    EXPECT_EQ(text(rig.link->readLine(5s)), chat("Middle", "|07One"));
    EXPECT_EQ(text(rig.link->readLine(5s)), "Middle~HomeBoard~~~~~LOGOFF~\n");
    EXPECT_EQ(text(rig.link->readLine(5s)), chat("Middle", "|07Two"));

    alone->close();
    middle->close();
    ASSERT_TRUE(rig.console(leaveLine("Alone", 0))) << rig.bridge->output();
    ASSERT_TRUE(rig.console(leaveLine("Middle", 1))) << rig.bridge->output();
    // A notice would have been written before the leave line: the next
    // thing on the link is a later client's packet.
    auto later = rig.join("Later", 0);
    ASSERT_NE(later, nullptr);
}

TEST(ClientsDeparture, ClientThatNeverNamedItselfLeavesWithoutNotice) {
    Rig rig;
    ASSERT_TRUE(rig.start());
    LocalClient anonymous;
    ASSERT_TRUE(anonymous.connect(rig.host.port(), 5s));
    ASSERT_TRUE(anonymous.send("just some text\n"));
    EXPECT_EQ(text(rig.link->readLine(5s)), "just some text\n");
    anonymous.close();
    EXPECT_TRUE(rig.console("]  has left chat (slot #0 cleared).\n")) << rig.bridge->output();
    EXPECT_EQ(rig.bridge->output().find("entered chat"), std::string::npos);
    auto later = rig.join("Later", 0);  // its packet is the next line on the link
    ASSERT_NE(later, nullptr);
}

// --- relay ---

TEST(ClientsRelay, TwoPacketsInOneChunkAreRelayedInOneWrite) {
    Rig rig;
    ASSERT_TRUE(rig.start({"-W1", "-V"}));
    LocalClient client;
    ASSERT_TRUE(client.connect(rig.host.port(), 5s));
    const std::string one = chat("Alice", "|07One");
    const std::string two = chat("Bob", "|07Two");
    ASSERT_TRUE(client.send(one + two));

    EXPECT_EQ(text(client.readLine(5s)), latencyPacket(0));
    EXPECT_EQ(text(rig.link->readLine(5s)), one);
    EXPECT_EQ(text(rig.link->readLine(5s)), two);
    const std::string trace = "sendHostPacket \"" + one.substr(0, one.size() - 1) + two.substr(0, two.size() - 1) +
                              "\" to host";
    EXPECT_TRUE(rig.console("] " + trace + "\n")) << rig.bridge->output();
    EXPECT_TRUE(rig.console(joinLine("Alice", 0))) << rig.bridge->output();
    EXPECT_EQ(rig.bridge->output().find("Bob entered"), std::string::npos);

    ASSERT_TRUE(waitForLog(rig.dir, trace, 5s));
    std::vector<std::string> log = logMessages(rig.dir);
    const auto at = [&](const std::string& message) { return std::find(log.begin(), log.end(), message); };
    EXPECT_NE(at("Alice entered chat (slot #0 occupied)."), log.end()) << readLog(rig.dir);
    EXPECT_NE(at(trace), log.end()) << readLog(rig.dir);
    EXPECT_EQ(std::count(log.begin(), log.end(), trace), 1) << "one write for both packets";
}

// --- latency ---

TEST(ClientsLatency, EchoOfARelayedPacketIsMeasuredAndToldToEveryClientFirst) {
    Rig rig;
    ASSERT_TRUE(rig.start());
    auto alice = rig.join("Alice", 0);
    auto bob = rig.join("Bob", 1);
    ASSERT_TRUE(alice && bob);

    const std::string packet = chat("Alice", "|07Echo me");
    ASSERT_TRUE(alice->send(packet));
    ASSERT_EQ(text(rig.link->readLine(5s)), packet);
    hostRoundTrip();
    ASSERT_TRUE(rig.link->send(packet));

    std::optional<std::string> aliceNotice = alice->readLine(5s);
    std::optional<std::string> bobNotice = bob->readLine(5s);
    std::optional<long long> measured = latencyOf(aliceNotice);
    ASSERT_TRUE(measured.has_value()) << text(aliceNotice);
    EXPECT_GE(*measured, 0);
    EXPECT_LT(*measured, 10000);
    EXPECT_EQ(text(bobNotice), text(aliceNotice));
    EXPECT_EQ(text(alice->readLine(5s)), packet);
    EXPECT_EQ(text(bob->readLine(5s)), packet);

    // A client that joins now is told the measured value.
    auto carl = rig.join("Carl", 2, *measured);
    ASSERT_NE(carl, nullptr);

    // The match emptied the tracker: the same echo again is only chat.
    // (Carl's own packet is tracked but has another checksum.)
    ASSERT_TRUE(rig.link->send(packet));
    EXPECT_EQ(text(alice->readLine(5s)), packet);
    EXPECT_EQ(text(bob->readLine(5s)), packet);
    EXPECT_EQ(text(carl->readLine(5s)), packet);
}

// Regression: with the kernel's small-packet coalescing left on, the echo that
// follows a latency notice waited for the client's delayed acknowledgement
// (about 40 ms) instead of the bridge's 5 ms pause.
TEST(ClientsLatency, EchoFollowsItsNoticeWithoutWaitingForAnAcknowledgement) {
    Rig rig;
    ASSERT_TRUE(rig.start());
    auto alice = rig.join("Alice", 0);
    ASSERT_NE(alice, nullptr);
    std::vector<long long> gapsUs;
    for (int i = 0; i < 5; ++i) {
        const std::string packet = chat("Alice", "|07Round " + std::to_string(i));
        ASSERT_TRUE(alice->send(packet));
        ASSERT_EQ(text(rig.link->readLine(5s)), packet);
        hostRoundTrip();
        ASSERT_TRUE(rig.link->send(packet));
        ASSERT_TRUE(latencyOf(alice->readLine(5s)).has_value());
        const auto noticeAt = Clock::now();
        ASSERT_EQ(text(alice->readLine(5s)), packet);
        gapsUs.push_back(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - noticeAt).count());
    }
    std::sort(gapsUs.begin(), gapsUs.end());
    EXPECT_LT(gapsUs[2], 25000) << "median gap between notice and echo, in microseconds";
}

TEST(ClientsLatency, NotmeRelayIsNotMeasured) {
    Rig rig;
    ASSERT_TRUE(rig.start());
    LocalClient alice;
    ASSERT_TRUE(alice.connect(rig.host.port(), 5s));
    const std::string notme = "Alice~HomeBoard~~NOTME~~~|07Psst~\n";
    ASSERT_TRUE(alice.send(notme));
    EXPECT_TRUE(rig.console(joinLine("Alice", 0))) << rig.bridge->output();
    EXPECT_EQ(text(alice.readLine(5s)), latencyPacket(0));
    ASSERT_EQ(text(rig.link->readLine(5s)), notme);
    hostRoundTrip();
    ASSERT_TRUE(rig.link->send(notme));
    EXPECT_EQ(text(alice.readLine(5s)), notme) << "no latency notice before it";

    // The same client's ordinary packet is measured.
    const std::string plain = chat("Alice", "|07Loud");
    ASSERT_TRUE(alice.send(plain));
    ASSERT_EQ(text(rig.link->readLine(5s)), plain);
    hostRoundTrip();
    ASSERT_TRUE(rig.link->send(plain));
    std::optional<std::string> notice = alice.readLine(5s);
    EXPECT_TRUE(latencyOf(notice).has_value()) << text(notice);
    EXPECT_EQ(text(alice.readLine(5s)), plain);
}

// --- lost host link ---

TEST(ClientsLostHostLink, SendsFailWhileDownAndEachClientGetsOneReconnectNotice) {
    Rig rig;
    ASSERT_TRUE(rig.start());
    auto alice = rig.join("Alice", 0);
    auto bob = rig.join("Bob", 1);
    ASSERT_TRUE(alice && bob);

    // No host while the link is down, so the bridge stays between attempts.
    rig.host.stopListening();
    rig.link->close();
    ASSERT_TRUE(rig.console("] Connection closed with error: 0\n")) << rig.bridge->output();
    ASSERT_TRUE(rig.console("Unable to connect to server!\n")) << rig.bridge->output();

    const std::string lost = chat("Alice", "|07Into the void");
    ASSERT_TRUE(alice->send(lost));
    const std::string failure = "sendHostPacket failed with error: " + bridgeError(BridgeOsError::NotASocket);
    EXPECT_TRUE(rig.console("] " + failure + "\n")) << rig.bridge->output();
    ASSERT_TRUE(waitForLog(rig.dir, failure, 5s)) << readLog(rig.dir);
    std::vector<std::string> log = logMessages(rig.dir);
    EXPECT_NE(std::find(log.begin(), log.end(), failure), log.end()) << readLog(rig.dir);

    rig.host.resumeListening();
    auto second = rig.host.waitForConnection(2, 10s);
    ASSERT_NE(second, nullptr) << rig.bridge->output();
    ASSERT_EQ(second->readHandshake(5s), expectedHandshake(kSite, kSoftware));
    EXPECT_TRUE(waitForLog(rig.dir, "Reconnection successful", 5s)) << readLog(rig.dir);
    // Clients stay connected through the loss and hear nothing before HELLO.
    const std::string marker = "M~~~~~~mark~\n";
    ASSERT_TRUE(second->send(marker));
    EXPECT_EQ(text(alice->readLine(5s)), marker);
    EXPECT_EQ(text(bob->readLine(5s)), marker);

    std::vector<std::string> answer = rig.hello(*second);
    ASSERT_EQ(answer.size(), 7u);
    EXPECT_EQ(answer.back(), kCapabilities);
    EXPECT_EQ(text(alice->readLine(5s)), kReconnect);
    EXPECT_EQ(text(bob->readLine(5s)), kReconnect);

    // A second HELLO on the same link gives no further notice.
    answer = rig.hello(*second);
    ASSERT_EQ(answer.size(), 7u);
    EXPECT_EQ(answer.back(), kCapabilities);
    ASSERT_TRUE(second->send(marker));
    EXPECT_EQ(text(alice->readLine(5s)), marker);
    EXPECT_EQ(text(bob->readLine(5s)), marker);

    // The lost chunk is not sent again; new ones go over the new link.
    const std::string fresh = chat("Alice", "|07Back again");
    ASSERT_TRUE(alice->send(fresh));
    EXPECT_EQ(text(second->readLine(5s)), fresh);
    EXPECT_EQ(countOccurrences(rig.bridge->output(), "sendHostPacket failed"), 1u) << rig.bridge->output();
}

// --- local listener ---

TEST(ClientsListener, TakenLocalPortIsReportedAndTheHostLinkKeepsWorking) {
    Rig rig;
    Fd occupied(occupyLocalPort(rig.host.port()));
    ASSERT_GE(occupied.fd, 0) << "cannot take " << localListenAddress() << ":" << rig.host.port() << ": "
                              << std::strerror(errno);
    ASSERT_TRUE(rig.start({"-W1"}, false));

    const std::string failure = "client bind failed with error: " + bridgeError(BridgeOsError::AddressInUse);
    ASSERT_TRUE(rig.bridge->waitForOutput(failure + "\n", 5s)) << rig.bridge->output();
    const std::vector<std::string> lines = splitLines(rig.bridge->output());
    EXPECT_NE(std::find(lines.begin(), lines.end(), failure), lines.end())
        << "a line of its own without prefix:\n" << rig.bridge->output();
    ASSERT_TRUE(waitForLog(rig.dir, failure, 5s));
    EXPECT_EQ(logMessages(rig.dir), std::vector<std::string>{failure});

    std::vector<std::string> answer = rig.hello(*rig.link);
    ASSERT_EQ(answer.size(), 7u) << rig.bridge->output();
    EXPECT_EQ(answer.back(), kCapabilities);
    EXPECT_TRUE(rig.bridge->running());
    EXPECT_EQ(rig.bridge->output().find("Ready for clients."), std::string::npos) << rig.bridge->output();
    EXPECT_EQ(rig.bridge->output().find("To exit any time"), std::string::npos) << rig.bridge->output();
}

// --- a client that stops reading ---

TEST(ClientsSlowReader, StuckClientTimesOutAndTheOthersKeepReceiving) {
    Rig rig;
    ASSERT_TRUE(rig.start());
    auto reader = rig.join("Reader", 0);
    ASSERT_NE(reader, nullptr);
    Fd stuck(connectStuckClient(rig.host.port(), 5s));
    ASSERT_GE(stuck.fd, 0);
    const std::string stuckJoin = chat("Stuck", "|07Hi");
    ASSERT_EQ(::send(stuck.fd, stuckJoin.data(), stuckJoin.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(stuckJoin.size()));
    ASSERT_TRUE(rig.console(joinLine("Stuck", 1))) << rig.bridge->output();
    ASSERT_EQ(text(rig.link->readLine(5s)), stuckJoin);

    std::mutex mutex;
    std::condition_variable changed;
    std::size_t received = 0;  // flood lines the reader got
    std::size_t sent = 0;      // flood lines the host sent
    bool stop = false;
    bool readerGood = true;
    const auto testEnd = deadlineAfter(60s);

    std::thread readerThread([&] {
        while (Clock::now() < testEnd) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (stop) return;
            }
            std::optional<std::string> line = reader->readLine(100ms);
            if (!line) continue;
            std::lock_guard<std::mutex> lock(mutex);
            if (line->rfind("F~Far~~~~~", 0) == 0) {
                ++received;
                changed.notify_all();
            } else if (*line != latencyPacket(0)) {
                readerGood = false;
            }
        }
    });
    // 500-byte chat lines, kept at most 100 ahead of the reader.
    std::thread flood([&] {
        const std::string line = "F~Far~~~~~" + std::string(488, 'x') + "~\n";
        while (Clock::now() < testEnd) {
            {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait_until(lock, std::min(testEnd, Clock::now() + 100ms),
                                   [&] { return stop || sent < received + 100; });
                if (stop) return;
                if (sent >= received + 100) continue;
                sent += 10;
            }
            std::string batch;
            for (int i = 0; i < 10; ++i) batch += line;
            if (!rig.link->send(batch)) return;
        }
    });

    const auto floodStart = Clock::now();
    const std::string timedOut = "failed with error: " + bridgeError(BridgeOsError::SendTimedOut);
    const bool failed = rig.bridge->waitForOutput(timedOut + "\n", 30s);
    const auto failedAfter = std::chrono::duration_cast<Millis>(Clock::now() - floodStart);
    std::size_t atFailure = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        atFailure = received;
    }
    // The bridge goes on: the reader gets lines broadcast after the failed send.
    bool progressed = false;
    if (failed) {
        std::unique_lock<std::mutex> lock(mutex);
        progressed = changed.wait_until(lock, deadlineAfter(8s), [&] { return received > atFailure; });
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        stop = true;
        changed.notify_all();
    }
    flood.join();
    readerThread.join();

    std::printf("[ info     ] first failed send after %lld ms, %zu lines read by then\n",
                static_cast<long long>(failedAfter.count()), atFailure);
    ASSERT_TRUE(failed) << rig.bridge->output();
    const std::regex kFailure("sendClientPacket to client #[0-9]+ " + timedOut);
    bool stamped = false;
    for (const std::string& line : stampedLines(rig.bridge->output())) stamped = stamped || std::regex_match(line, kFailure);
    EXPECT_TRUE(stamped) << rig.bridge->output();
    EXPECT_LT(failedAfter, scaled(25s));
    EXPECT_TRUE(progressed) << "reader stuck at " << atFailure << " lines";
    EXPECT_TRUE(readerGood);
    EXPECT_TRUE(waitForLog(rig.dir, timedOut, 5s)) << readLog(rig.dir);
    // A client whose send timed out is disconnected, so later broadcasts do
    // not wait on it again: its thread leaves and frees the slot.
    EXPECT_TRUE(rig.console(leaveLine("Stuck", 1), 1, 10s)) << rig.bridge->output();
    EXPECT_TRUE(rig.bridge->running());
}
