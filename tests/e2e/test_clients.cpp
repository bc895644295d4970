// Local clients: joining, names, slots, relaying in whole lines, leaving,
// a lost host link, a taken local port and a client that stops reading.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

#include "e2e/harness.h"

namespace kolvtest {
namespace {

const std::string kMark = "M~~~~~~mark~\n";

std::string joinLine(const std::string& user, int slot) {
    return "] " + user + " entered chat (slot #" + std::to_string(slot) + " occupied).\n";
}
std::string leaveLine(const std::string& user, int slot) {
    return "] " + user + " has left chat (slot #" + std::to_string(slot) + " cleared).\n";
}
std::string departure(const std::string& user) {
    return user + "~My_Board~~NOTME~~~|08- " + user + " has disconnected.~\n";
}

struct Case {
    const char* name;
    std::vector<std::string> writes;   // one client's writes, apart; then it closes
    std::vector<std::string> toHost;   // what the host reads, in order
    std::vector<std::string> console;  // console texts, in order
    int notices;                       // latency notices the client gets
    int gapMs = 150;                   // between writes; past the 50 ms wait for more
};

const std::string kLong = "L~S~~~~~" + std::string(600, 'l');

const Case kCases[] = {
    {"first packet names the user, goes on unchanged; leaving is announced",
     {"Alice~HomeBoard~~~~~|07Hello~\n"},
     {"Alice~HomeBoard~~~~~|07Hello~\n", departure("Alice")},
     {joinLine("Alice", 0), leaveLine("Alice", 0)},
     1},
    {"five tildes name nobody; a later packet does",
     {"a~b~c~d~e~f\n", "Bob~S~~~~~hi~\n"},
     {"a~b~c~d~e~f\n", "Bob~S~~~~~hi~\n", departure("Bob")},
     {joinLine("Bob", 0), leaveLine("Bob", 0)},
     1},
    {"an empty first field joins without a name, again and again",
     {"~S~~~~~x~\n", "~S~~~~~y~\n"},
     {"~S~~~~~x~\n", "~S~~~~~y~\n"},
     {joinLine("", 0), joinLine("", 0), leaveLine("", 0)},
     2},
    {"names are cut at 29 characters", {std::string(35, 'n') + "~S~~~~~x~\n"},
     {std::string(35, 'n') + "~S~~~~~x~\n", departure(std::string(29, 'n'))},
     {joinLine(std::string(29, 'n'), 0)}, 1},
    {"a logoff anywhere, even split across writes, means no notice",
     {"Cleo~S~~~~~a~\nCleo~S~~~~~bye~LOG", "OFF~\nCleo~S~~~~~z~\n"},
     {"Cleo~S~~~~~a~\n", "Cleo~S~~~~~bye~LOGOFF~\nCleo~S~~~~~z~\n"},
     {joinLine("Cleo", 0), leaveLine("Cleo", 0)},
     1,
     10},
    {"text without a line end goes on after a pause, past 512 bytes at once, and at the end",
     {"Dan~S~~~~~no end~", kLong, "tail"},
     {"Dan~S~~~~~no end~", kLong, "tail", departure("Dan")},
     {joinLine("Dan", 0)},
     1},
};

TEST(Clients, OneClientsRoadAsTheTableSays) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Session s;
        auto client = connectClient(s.host.port());
        std::string atHost;
        for (const std::string& write : c.writes) {
            ASSERT_TRUE(client->send(write));
            std::this_thread::sleep_for(Millis(c.gapMs));
        }
        for (int i = 0; i < c.notices; ++i) EXPECT_EQ(client->readLine(5s), latencyPacket(0));
        client.reset();
        std::string expected;
        for (const std::string& line : c.toHost) expected += line;
        EXPECT_TRUE(waitUntil([&] { return (atHost += s.link->readSome(20ms)).size() >= expected.size(); }, 5s));
        EXPECT_EQ(atHost, expected);
        ASSERT_TRUE(s.bridge->waitFor("has left chat", 5s));
        std::string out = s.bridge->out();
        std::size_t at = 0;
        for (const std::string& text : c.console) {
            at = out.find(text, at);
            EXPECT_NE(at, std::string::npos) << text << out;
        }
    }
}

TEST(Clients, JoinGetsTheLatencyAndTwoPacketsInOneWriteGoOutAsOne) {
    Session s({"-W1", "-V"});
    auto client = connectClient(s.host.port());
    const std::string one = chat("Alice", "|07One"), two = chat("Bob", "|07Two");
    ASSERT_TRUE(client->send(one + two));
    EXPECT_EQ(client->readLine(5s), latencyPacket(0));
    EXPECT_EQ(s.link->readLine(5s), one);
    EXPECT_EQ(s.link->readLine(5s), two);
    const std::string trace = "sendHostPacket \"" + one.substr(0, one.size() - 1) + two.substr(0, two.size() - 1) +
                              "\" to host";
    EXPECT_TRUE(s.bridge->waitFor("] " + trace + "\n", 5s)) << s.bridge->out();
    EXPECT_EQ(s.bridge->out().find("Bob entered"), std::string::npos);
    auto log = logMessages(s.dir);
    EXPECT_EQ(std::count(log.begin(), log.end(), trace), 1) << "one write for both";
    EXPECT_NE(std::find(log.begin(), log.end(), "Alice entered chat (slot #0 occupied)."), log.end());
}

// Slots go lowest first and are reused; a 51st client is closed at once
// while the fifty stay served.
TEST(Clients, FiftySlotsLowestFirstAndReused) {
    Session s;
    std::vector<std::unique_ptr<Stream>> clients;
    for (int i = 0; i < 50; ++i) {
        clients.push_back(s.join("U" + std::to_string(i)));
        ASSERT_TRUE(s.bridge->waitFor(joinLine("U" + std::to_string(i), i), 5s));
    }
    auto extra = connectClient(s.host.port());
    ASSERT_NE(extra, nullptr);
    EXPECT_EQ(extra->readToEnd(2s), "");
    EXPECT_TRUE(extra->closed()) << "a 51st client is closed at once";
    ASSERT_TRUE(s.link->send(kMark));
    for (auto& client : clients) EXPECT_EQ(client->readLine(5s), kMark);
    clients[17].reset();
    EXPECT_EQ(s.link->readLine(5s), departure("U17"));
    ASSERT_TRUE(s.bridge->waitFor(leaveLine("U17", 17), 5s));
    clients[17] = s.join("Next");
    EXPECT_TRUE(s.bridge->waitFor(joinLine("Next", 17), 5s));
}

// While the link is down, relays fail with their report; on the new link
// each client gets one RECONNECT notice after the first HELLO.
TEST(Clients, LostLinkFailsRelaysAndEachClientHearsOfTheNewLinkOnce) {
    Session s;
    auto alice = s.join("Alice");
    auto bob = s.join("Bob");
    s.host.stopListening();
    s.link->close();
    ASSERT_TRUE(s.bridge->waitFor("Unable to connect to server!", 10s)) << s.bridge->out();
    ASSERT_TRUE(alice->send(chat("Alice", "into the void")));
    const std::string failure = "sendHostPacket failed with error: " + std::to_string(osError("badsocket"));
    EXPECT_TRUE(s.bridge->waitFor("] " + failure + "\n", 5s)) << s.bridge->out();
    Host later(HostMode::Plain, 0, s.host.port());
    auto second = later.link(1);
    ASSERT_NE(second, nullptr) << s.bridge->out();
    ASSERT_EQ(second->readSome(5s), expectedHandshake());
    for (int hello = 0; hello < 2; ++hello) {
        ASSERT_TRUE(second->send("SERVER~~~~~~HELLO~\n" + kMark));
        for (auto* client : {alice.get(), bob.get()}) {
            auto expected = hello == 0 ? std::vector<std::string>{"SERVER~~~CLIENT~~~RECONNECT~\n", kMark}
                                       : std::vector<std::string>{kMark};
            EXPECT_EQ(readUntil(*client, kMark), expected);
        }
    }
    auto log = logMessages(s.dir);
    EXPECT_NE(std::find(log.begin(), log.end(), failure), log.end());
}

TEST(Clients, TakenLocalPortIsReportedAndTheHostLinkGoesOn) {
    Dir dir;
    Host host;
    int taken = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(host.port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(taken, 1), 0);
    writeConfig(dir, {host.portText()});
    auto bridge = startBridge(dir);
    auto link = host.link(1);
    ASSERT_NE(link, nullptr);
    const std::string failure = "client bind failed with error: " + std::to_string(osError("inuse"));
    EXPECT_TRUE(bridge->waitFor("\n" + failure + "\n", 5s)) << bridge->out();
    EXPECT_TRUE(waitUntil([&] { return logMessages(dir) == std::vector<std::string>{failure}; }, 5s));
    ASSERT_EQ(link->readSome(5s), expectedHandshake());
    ASSERT_TRUE(link->send("SERVER~~~~~~ping~\n"));
    EXPECT_TRUE(link->readLine(5s).has_value()) << "the host link still answers";
    EXPECT_EQ(bridge->out().find("Ready for clients."), std::string::npos);
    ::close(taken);
}

}  // namespace
}  // namespace kolvtest
