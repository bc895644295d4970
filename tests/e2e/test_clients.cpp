// Local clients: joining, names, slots, relaying in whole lines, leaving.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

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

std::string dropLine(int bytes, const std::string& user, int slot) {
    return "] Dropped " + std::to_string(bytes) + " bytes from " + user + " (slot #" + std::to_string(slot) +
           "): no line end.\n";
}

struct Case {
    const char* name;
    std::vector<std::string> writes;   // one client's writes, apart; then it leaves
    std::vector<std::string> toHost;   // what the host reads, in order
    std::vector<std::string> console;  // console texts, in order
    int notices;                       // latency notices the client gets
    int gapMs = 150;                   // between writes; past the 50 ms wait for more
    bool verbose = false;              // -V: joins and leaves are logged too (drops always are)
    std::string other = "";            // Bob, joined first, writes it after each write
    bool reset = false;                // the client leaves by a reset, not a close
};

const std::string kLong = "L~S~~~~~" + std::string(600, 'l') + "~\n";
const std::string kHuge = "Eve~S~~~~~" + std::string(4989, 'e') + "~\n";  // 5,001 bytes
const std::string kBob = "Bob~Site~~~~~Hi from Bob~\n";

std::vector<std::string> pieces(const std::string& text, std::size_t size) {
    std::vector<std::string> cut;
    for (std::size_t at = 0; at < text.size(); at += size) cut.push_back(text.substr(at, size));
    return cut;
}

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
    {"two packets in one write go out as one; only the first names the user",
     {"Alice~S~~~~~One~\nBob~S~~~~~Two~\n"},
     {"Alice~S~~~~~One~\nBob~S~~~~~Two~\n", departure("Alice")},
     {joinLine("Alice", 0), "] sendHostPacket \"Alice~S~~~~~One~Bob~S~~~~~Two~\" to host\n", leaveLine("Alice", 0)},
     1,
     150,
     true},
    {"a whole packet without a line end goes on with one after a pause, and when the client leaves",
     {"Dan~S~~~~~no end~", "Dan~S~~~~~last~"}, {"Dan~S~~~~~no end~\n", "Dan~S~~~~~last~\n", departure("Dan")},
     {joinLine("Dan", 0)}, 1},
    {"a long line in pieces goes on whole", pieces(kLong, 400), {kBob, kLong, kBob, departure("L")},
     {joinLine("L", 1)}, 1, 150, false, kBob},
    {"a line past 4096 bytes is dropped up to its line end, and said so",
     [] { auto w = pieces(kHuge, 512); w.push_back(chat("Eve", "after")); return w; }(),
     {chat("Eve", "after"), departure("Eve")},
     {dropLine(4608, "a client", 0), dropLine(393, "a client", 0), joinLine("Eve", 0)}, 1, 60},
    {"a pause inside a line while another client writes", {"Alice~HomeBoard~~~~~Hello", " world~\n"},
     {kBob, "Alice~HomeBoard~~~~~Hello world~\n", kBob, departure("Alice")},
     {joinLine("Alice", 1), leaveLine("Alice", 1)}, 1, 150, false, kBob},
    {"leaving mid-packet while another client writes", {"Amy~S~~~~~hi~\nAmy~S~~~~~cut sho"},
     {"Amy~S~~~~~hi~\n", kBob, departure("Amy")},
     {joinLine("Amy", 1), dropLine(17, "Amy", 1), leaveLine("Amy", 1)}, 1, 150, false, kBob},
    {"leaving mid-packet by a reset", {"Amy~S~~~~~hi~\nAmy~S~~~~~cut"}, {"Amy~S~~~~~hi~\n", kBob, departure("Amy")},
     {joinLine("Amy", 1), dropLine(13, "Amy", 1), leaveLine("Amy", 1)}, 1, 150, false, kBob, true},
    {"leaving mid-packet after a logoff", {"Amy~S~~~~~bye~LOGOFF~\nAmy~S~~~~~c"},
     {"Amy~S~~~~~bye~LOGOFF~\n", kBob}, {joinLine("Amy", 1), dropLine(11, "Amy", 1), leaveLine("Amy", 1)}, 1, 150,
     false, kBob},
};

TEST(Clients, OneClientsRoadAsTheTableSays) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Session s(c.verbose ? std::vector<std::string>{"-W1", "-V"} : std::vector<std::string>{"-W1"});
        std::unique_ptr<Stream> other = c.other.empty() ? nullptr : s.join("Bob");
        auto client = connectClient(s.host.port());
        std::string atHost;
        for (const std::string& write : c.writes) {
            ASSERT_TRUE(client->send(write));
            std::this_thread::sleep_for(Millis(c.gapMs));
            if (other != nullptr) {
                ASSERT_TRUE(other->send(c.other));
                std::this_thread::sleep_for(Millis(c.gapMs));
            }
        }
        for (int i = 0; i < c.notices; ++i) EXPECT_EQ(client->readLine(5s), latencyPacket(0));
        const linger abort{1, 0};
        if (c.reset) ::setsockopt(client->fd(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        client.reset();
        std::string expected;
        for (const std::string& line : c.toHost) expected += line;
        EXPECT_TRUE(waitUntil([&] { return (atHost += s.link->readSome(20ms)).size() >= expected.size(); }, 5s));
        EXPECT_EQ(atHost, expected);
        ASSERT_TRUE(s.bridge->waitFor("has left chat", 5s));
        // The bridge logs a line just after it printed it.
        const auto inLog = [&] { return s.dir.read("kolv.log").find("has left chat") != std::string::npos; };
        EXPECT_EQ(waitUntil(inLog, c.verbose ? 5s : 0s), c.verbose);
        std::string out = s.bridge->out();
        auto log = logMessages(s.dir);
        std::size_t at = 0;
        for (const std::string& text : c.console) {
            at = out.find(text, at);
            EXPECT_NE(at, std::string::npos) << text << out;
            auto logged = std::find(log.begin(), log.end(), text.substr(2, text.size() - 3));
            EXPECT_EQ(logged != log.end(), c.verbose || text.rfind("] Dropped", 0) == 0) << text;
        }
        std::size_t joins = other != nullptr, drops = 0;
        for (const std::string& text : c.console) joins += countOf(text, "entered chat");
        for (const std::string& text : c.console) drops += countOf(text, "] Dropped");
        EXPECT_EQ(countOf(out, "entered chat"), joins) << "joins nobody announced";
        EXPECT_EQ(countOf(out, "] Dropped"), drops) << out;
    }
}

// The kernel's arrival time of the next bytes on a plain socket whose
// timestamps are on; -1 unless they hold expected.
long long arrivalNs(Stream& client, const std::string& expected) {
    char data[600];
    char control[CMSG_SPACE(sizeof(timespec))];
    iovec io{data, sizeof data};
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    pollfd ready{client.fd(), POLLIN, 0};
    ::poll(&ready, 1, 5000);
    ssize_t n = ::recvmsg(client.fd(), &message, 0);
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    if (n <= 0 || std::string(data, static_cast<std::size_t>(n)).find(expected) == std::string::npos ||
        header == nullptr) {
        return -1;
    }
    timespec at{};
    std::memcpy(&at, CMSG_DATA(header), sizeof at);
    return at.tv_sec * 1000000000LL + at.tv_nsec;
}

// Slots go lowest first and are reused; a 51st client is closed at once,
// and said so, while the fifty stay served, a broadcast reaching them in slot order and
// 5 ms apart. Each send starts 5 ms after the one before started, so the
// k-th arrives no sooner than k pauses after the mark was sent. A gap alone
// proves nothing: a send delayed on its way makes the next gap short.
TEST(Clients, FiftySlotsLowestFirstAndReused) {
    Session s;
    int on = 1;  // early: the kernel turns timestamps on for its packets a moment later
    ::setsockopt(s.link->fd(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    std::vector<std::unique_ptr<Stream>> clients;
    for (int i = 0; i < 50; ++i) {
        clients.push_back(s.join("U" + std::to_string(i)));
        ::setsockopt(clients.back()->fd(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
        ASSERT_TRUE(s.bridge->waitFor(joinLine("U" + std::to_string(i), i), 5s));
    }
    for (int i = 0; i < 3; ++i) {  // the operator is told of the first two once, of the third a second later
        if (i == 2) std::this_thread::sleep_for(1100ms);
        auto extra = connectClient(s.host.port());
        ASSERT_NE(extra, nullptr);
        EXPECT_EQ(extra->readToEnd(2s), "");
        EXPECT_TRUE(extra->closed()) << "a 51st client is closed at once";
    }
    const std::string full = "Client table full (50 clients): a connection was closed.";
    ASSERT_TRUE(s.bridge->waitFor("] " + full + "\n", 5s, 2));
    EXPECT_EQ(countOf(s.bridge->out(), full), 2u);
    EXPECT_EQ(logMessages(s.dir), (std::vector<std::string>{full, full}));
    timespec sent{};
    ::clock_gettime(CLOCK_REALTIME, &sent);  // the clock the kernel stamps with
    ASSERT_TRUE(s.link->send(kMark));
    const long long mark = sent.tv_sec * 1000000000LL + sent.tv_nsec;
    const long long slew = 1000000;  // the wall clock may run a little slow against the bridge's steady one
    long long previous = -1;
    for (std::size_t slot = 0; slot < clients.size(); ++slot) {
        const long long at = arrivalNs(*clients[slot], kMark);
        ASSERT_GT(at, 0);
        EXPECT_GE(at, previous) << "slot " << slot;
        EXPECT_GE(at - mark, static_cast<long long>(slot) * 5000000LL - slew) << "slot " << slot;
        previous = at;
    }
    clients[17].reset();
    EXPECT_EQ(s.link->readLine(5s), departure("U17"));
    ASSERT_TRUE(s.bridge->waitFor(leaveLine("U17", 17), 5s));
    // A joining client's notice is followed by the 5 ms pause before its packet goes on.
    clients[17] = connectClient(s.host.port());
    ASSERT_NE(clients[17], nullptr);
    ::setsockopt(clients[17]->fd(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    ASSERT_TRUE(clients[17]->send(chat("Next", "joins")));
    const long long notice = arrivalNs(*clients[17], "~LATENCY:"), relayed = arrivalNs(*s.link, chat("Next", "joins"));
    ASSERT_GT(notice, 0);
    ASSERT_GT(relayed, 0);
    EXPECT_GE(relayed - notice, 5000000LL - slew);
    EXPECT_TRUE(s.bridge->waitFor(joinLine("Next", 17), 5s));
}

struct ListenCase {
    const char* name;
    std::string hosts;   // the bridge's /etc/hosts
    std::string held;    // an address whose port another program holds for the first seconds
    std::string absent;  // an address of "localhost" that this machine lacks
};

// Clients get in on 127.0.0.1 and on ::1, whatever order "localhost" has.
// A port held on one of them opens on neither until it is free, and its
// failure is said once; an address the machine lacks is named and left out.
TEST(Clients, EveryLoopbackAddressLetsClientsIn) {
    const std::string v6First = "::1 localhost\n127.0.0.1 localhost\n", v4First = "127.0.0.1 localhost\n::1 localhost\n";
    const ListenCase cases[] = {
        {"::1 listed first", v6First, "", ""},
        {"127.0.0.1 listed first", v4First, "", ""},
        {"port held on 127.0.0.1", v6First, "127.0.0.1", ""},
        {"port held on ::1", v4First, "::1", ""},
        {"an address this machine lacks", "192.0.2.1 localhost\n" + v4First, "", "192.0.2.1"},
    };
    for (const ListenCase& c : cases) {
        SCOPED_TRACE(c.name);
        Dir dir;
        Host host;
        writeConfig(dir, Config(host.portText()));
        const int held = c.held.empty() ? -1 : holdPort(c.held, host.port());
        auto bridge = startBridge(dir, {"-W1"}, withHosts(dir, c.hosts));
        auto link = host.link(1);
        ASSERT_NE(link, nullptr) << bridge->out();
        ASSERT_EQ(link->readSome(5s), expectedHandshake());
        ASSERT_TRUE(link->send("\n"));
        const std::string failed = "client bind failed with error: " + std::to_string(osError("addrinuse"));
        const std::string retry = "Clients cannot connect: port " + host.portText() + " is not open on " + c.held +
                                  ". Trying again every 1 s.";
        if (held >= 0) {
            ASSERT_TRUE(bridge->waitFor(retry, 10s)) << bridge->out();
            std::this_thread::sleep_for(scaled(2500ms));  // tried again every second meanwhile
            EXPECT_EQ(connectClient(host.port(), 0s, 0, c.held == "::1" ? "127.0.0.1" : "::1"), nullptr);
            EXPECT_EQ(countOf(bridge->out(), "Ready for clients."), 0u);
            ::close(held);
        }
        ASSERT_TRUE(bridge->waitFor("] Ready for clients.\n", 10s)) << bridge->out();
        std::unique_ptr<Stream> clients[2];  // kept: a departure would come between the lines
        for (const std::string address : {"127.0.0.1", "::1"}) {
            auto& client = clients[address == "::1"] = connectClient(host.port(), 5s, 0, address);
            ASSERT_NE(client, nullptr) << address;
            ASSERT_TRUE(client->send(chat(address, "hi")));
            EXPECT_EQ(link->readLine(5s), chat(address, "hi"));
        }
        EXPECT_EQ(countOf(bridge->out(), "\n" + failed + "\n"), held >= 0 ? 1u : 0u) << bridge->out();
        std::vector<std::string> log;
        if (held >= 0) log = {failed, retry};
        if (!c.absent.empty()) {
            log = {"Not listening for clients on " + c.absent + ": the address is not available here (error " +
                   std::to_string(osError("addrnotavail")) + ")."};
        }
        EXPECT_EQ(logMessages(dir), log);
    }
}

}  // namespace
}  // namespace kolvtest
