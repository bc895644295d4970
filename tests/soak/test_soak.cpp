// Long runs, kept out of the quick suite (label soak): the bridge between
// ulk-sim --chaos (a host that stalls, closes, resets and sends broken
// lines) and kolv-chat --load (clients that come, write in pieces and go),
// plain and TLS; and a full client table churned. The bridge loses nothing it
// does not report, and keeps no descriptor, thread or memory it should have
// given back.
#include <dirent.h>
#include <signal.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <tuple>

#include "e2e/harness.h"

namespace kolvtest {
namespace {

long openDescriptors(pid_t pid) {
    long count = 0;
    if (DIR* dir = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (::readdir(dir) != nullptr) ++count;
        ::closedir(dir);
    }
    return count - 2;  // "." and ".."
}

long statusFigure(pid_t pid, const std::string& name) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(name + ":", 0) == 0) return std::atol(line.c_str() + name.size() + 1);
    }
    return -1;
}

// The summary lines of a tool's output.
std::string summaryOf(const std::string& out) {
    std::string summary;
    for (const std::string& row : lines(out)) summary += row.find("summary: ") == std::string::npos ? "" : row + "\n";
    return summary;
}

// The number that pattern captures in text, else -1.
long long figure(const std::string& text, const std::string& pattern) {
    std::smatch m;
    return std::regex_search(text, m, std::regex(pattern)) ? std::atoll(m[1].str().c_str()) : -1;
}

// The numbers listed after label, to the end of its line.
std::set<long> listAfter(const std::string& text, const std::string& label) {
    std::set<long> numbers;
    std::size_t at = text.find(label);
    std::istringstream list(at == std::string::npos ? "" : text.substr(at + label.size(), text.find('\n', at) - at));
    for (long n; list >> n;) numbers.insert(n);
    return numbers;
}

// A packet the host's echo never acknowledged: "lost|cut NAME SEQ BYTES UNIX-MS" from the load.
struct Unacked {
    std::string name;
    long seq = 0, bytes = 0, at = 0;  // at: Unix ms when written
    bool cut = false;                 // its head, written as the client left
};

std::vector<Unacked> unackedOf(const std::string& load) {
    std::vector<Unacked> packets;
    char kind[8], name[32];
    for (Unacked p; const std::string& line : lines(load)) {
        if (std::sscanf(line.c_str(), "%7s %31s %ld %ld %ld", kind, name, &p.seq, &p.bytes, &p.at) != 5) continue;
        p.name = name, p.cut = std::strcmp(kind, "cut") == 0;
        if (p.cut || std::strcmp(kind, "lost") == 0) packets.push_back(p);
    }
    std::sort(packets.begin(), packets.end(), [](const Unacked& a, const Unacked& b) { return a.at < b.at; });
    return packets;
}

bool reachedHost(const std::string& sim, const Unacked& p) {
    const std::string key = "~" + p.name + " " + std::to_string(p.seq);
    auto at = sim.find(key);
    while (at != std::string::npos && std::strchr(" ~", sim[at + key.size()]) == nullptr) at = sim.find(key, at + 1);
    return at != std::string::npos;
}

// What accounts for a packet the host never got: a reported failure (one
// relay of one client, at most 1024 bytes), bytes held at a link's end (the
// bridge's loss line, ulk-sim's unread), a drop line, or a link that was down.
struct Accounts {
    std::vector<std::tuple<long long, std::string, long>> failures;  // second, the client, bytes of its unit
    std::vector<std::pair<long long, long long>> held;   // when (ms), bytes
    std::multiset<std::string> drops;                    // "NAME BYTES"
    std::vector<std::pair<long long, long long>> links;  // ready, ended (ms), as ulk-sim saw them
    std::vector<long long> ends;                         // the bridge's reports of a link's end (ms)
};

void readBridgeLine(Accounts& a, const std::string& line) {
    std::tm t{};
    char text[600], name[64];
    long n = 0;
    if (std::sscanf(line.c_str(), "[%d/%d/%d %d:%d:%d] %599[^\r]", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour,
                    &t.tm_min, &t.tm_sec, text) != 7) return;
    t.tm_year -= 1900, t.tm_mon -= 1, t.tm_isdst = -1;
    const long long second = std::mktime(&t);
    if (std::strncmp(text, "sendHostPacket failed", 21) == 0) a.failures.emplace_back(second, "", 0);
    const std::string_view said(text);
    if (said.starts_with("recv failed") || said.starts_with("Connection closed") || said.starts_with("Host has taken"))
        a.ends.push_back(second * 1000);
    if (std::sscanf(text, "Host link ended with %ld bytes", &n) == 1) a.held.emplace_back(second * 1000 + 999, n);
    if (std::sscanf(text, "Dropped %ld bytes from %63s", &n, name) == 2)
        a.drops.insert(name + (" " + std::to_string(n)));
}

Accounts accountsOf(const std::string& bridge, const std::string& sim) {
    Accounts a;
    for (const std::string& line : lines(bridge)) readBridgeLine(a, line);
    long long ready = 0, ended = 0, unread = 0;
    for (const std::string& line : lines(sim)) {
        if (std::sscanf(line.c_str(), "%*s summary: link #%*d ready %lld ended %lld unread %lld", &ready, &ended,
                        &unread) == 3) {
            a.links.emplace_back(ready, ended);
            a.held.emplace_back(ended, unread);
        }
    }
    return a;
}

// What accounts for p: 0 a drop line, 1 no link up when it was written, 2
// bytes held at a link's end, 3 a reported failure; -1 nothing.
int accountFor(Accounts& a, const Unacked& p) {
    if (p.cut) return a.drops.extract(p.name + " " + std::to_string(p.bytes)).empty() ? -1 : 0;
    // Up for ulk-sim, and the bridge had not yet reported that link's end (to the second).
    auto up = [&](auto& l) {
        auto ended = [&](long long end) { return end + 999 >= l.first && end <= p.at; };
        return l.first <= p.at && p.at <= l.second && std::none_of(a.ends.begin(), a.ends.end(), ended);
    };
    const auto link = std::find_if(a.links.begin(), a.links.end(), up);
    if (link == a.links.end()) return 1;
    // What that link's end held: reported before the next link was made.
    const long long next = std::next(link) == a.links.end() ? link->second + 10000 : std::next(link)->first;
    for (auto& [at, bytes] : a.held) {
        if (at >= link->first && at < next && bytes >= p.bytes) return (bytes -= p.bytes), 2;
    }
    for (auto& [second, name, bytes] : a.failures) {
        bool near = second >= p.at / 1000 - 1 && second <= p.at / 1000 + 30;  // waits for its turn, 5 s each
        if (near && (name.empty() || (name == p.name && bytes + p.bytes <= 1024))) {
            return (name = p.name, bytes += p.bytes), 3;
        }
    }
    return -1;
}

// Both tools' own checks held, and the run did what it is for.
void checkSummaries(const std::string& sim, const std::string& load) {
    for (const char* check : {"(\\d+) malformed", "(\\d+) out of order", "(\\d+) duplicates"}) {
        EXPECT_EQ(figure(sim, check), 0) << "at the host: " << check;
        EXPECT_EQ(figure(load, check), 0) << "at the clients: " << check;
    }
    for (const char* check : {"(\\d+) from SERVER with control", "(\\d+) ended by the bridge", "throughout: (\\d+)"}) {
        EXPECT_EQ(figure(load, check), 0) << check;
    }
    EXPECT_TRUE(figure(load, "(\\d+) acknowledged") > 0 && figure(sim, "(\\d+) reset") > 0) << "a run that did nothing";
    const std::set<long> atRisk = listAfter(sim, "of their link's end):");
    for (long n : listAfter(load, "between ones that came:")) EXPECT_TRUE(atRisk.count(n)) << "HOSTMSG " << n;
}

// Every packet the host never got is accounted for, and every drop line by a packet.
void checkAccounts(const std::string& bridge, const std::string& sim, const std::string& load) {
    Accounts accounts = accountsOf(bridge, sim);
    int accounted[4] = {};
    for (const Unacked& p : unackedOf(load)) {
        int why = p.cut || !reachedHost(sim, p) ? accountFor(accounts, p) : -2;
        EXPECT_NE(why, -1) << p.name << " " << p.seq << " never reached the host, and nothing accounts for it";
        if (why >= 0) ++accounted[why];
    }
    std::printf("[ chaos    ] not at the host: %d dropped, %d written while no link was up, %d held at a link's end, "
                "%d failed\n", accounted[0], accounted[1], accounted[2], accounted[3]);
    EXPECT_TRUE(accounts.drops.empty()) << "a drop line for no cut packet: " << *accounts.drops.begin();
}

struct ChaosCase {
    const char* name;
    bool tls;
    const char* seed;
};
class Chaos : public ::testing::TestWithParam<ChaosCase> {};

TEST_P(Chaos, ClientsLoseNothingUnreportedToAFaultyHost) {
    const ChaosCase& c = GetParam();
    const char* asked = std::getenv("KOLV_CHAOS_SECONDS");  // scripts/run-chaos.sh: the long run
    const int seconds = asked != nullptr && std::atoi(asked) > 0 ? std::atoi(asked) : 60;
    ::setenv("KOLV_TEST_DEAD_LINK_MS", "4000", 1);  // a host that stalls for good is replaced within the run
    Dir dir;
    const std::string port = std::to_string(freePort());
    std::vector<std::string> simArgs{"--port", port, "--chaos", c.seed, "--chaos-rate", "10", "--ping", "5"};
    if (c.tls) simArgs.push_back("--tls");
    Process sim(toolCommand("ulk-sim", simArgs), dir);
    ASSERT_TRUE(sim.waitFor("listening", 5s)) << sim.err();
    writeConfig(dir, Config(port, c.tls));
    auto bridge = startBridge(dir);
    ASSERT_TRUE(bridge->waitFor("To exit any time", 10s));  // the first link and the listener: the baseline
    const pid_t pid = bridge->pid();
    const long fds = openDescriptors(pid), threads = statusFigure(pid, "Threads");
    Process load(toolCommand("kolv-chat", {"--port", port, "--load", "6", "--seed", c.seed, "--duration",
                                           std::to_string(seconds)}), dir);
    std::this_thread::sleep_for(std::chrono::seconds(seconds / 4));
    const long rssWarm = statusFigure(pid, "VmRSS");
    ASSERT_EQ(load.exitCode(std::chrono::seconds(seconds + 60)), 0) << load.err();
    const long rssEnd = statusFigure(pid, "VmRSS");
    ::kill(sim.pid(), SIGTERM);
    ASSERT_TRUE(sim.waitFor("summary: numbered", 10s)) << sim.err();
    const std::string simSummary = summaryOf(sim.out()), loadSummary = summaryOf(load.out());
    // The bridge is on its own now: every client gone, the host too.
    EXPECT_TRUE(bridge->waitFor("has left chat", 10s, countOf(load.out(), " joins")));
    EXPECT_TRUE(waitUntil([&] { return openDescriptors(pid) == fds - 1; }, 10s))  // less the link's socket
        << openDescriptors(pid) << " descriptors, " << fds << " with the link";
    EXPECT_TRUE(waitUntil([&] { return statusFigure(pid, "Threads") == threads; }, 10s));
    std::printf("[ chaos    ] ulk-sim:\n%s[ chaos    ] kolv-chat --load:\n%s[ chaos    ] descriptors %ld with the "
                "link, threads %ld, VmRSS %ld -> %ld kB\n", simSummary.c_str(), loadSummary.c_str(), fds, threads,
                rssWarm, rssEnd);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)  // their shadow memory grows by itself
    EXPECT_LE(rssEnd - rssWarm, 1024) << "memory grows after warm-up";
#endif
    checkSummaries(simSummary, loadSummary);
    checkAccounts(bridge->out(), sim.out(), load.out());
    EXPECT_TRUE(tornLines(bridge->out()).empty()) << tornLines(bridge->out()).front();
}

INSTANTIATE_TEST_SUITE_P(Soak, Chaos,
                         ::testing::Values(ChaosCase{"Plain", false, "152"}, ChaosCase{"Tls", true, "563"}),
                         [](const auto& row) { return std::string(row.param.name); });

// 50 clients fill the table; 1,000 more connects are each closed at once.
TEST(Soak, AFullTableChurnedKeepsNothing) {
    Session s({"-W1"}, HostMode::Tls);
    ASSERT_TRUE(s.bridge->waitFor("To exit any time", 10s));
    const pid_t pid = s.bridge->pid();
    const long fdsBefore = openDescriptors(pid), threadsBefore = statusFigure(pid, "Threads");
    std::vector<std::unique_ptr<Stream>> clients;
    for (int id = 0; id < 50; ++id) clients.push_back(s.join("U" + std::to_string(id)));
    for (int cycle = 0; cycle < 1000; ++cycle) {
        auto extra = connectClient(s.host.port());
        ASSERT_TRUE(extra != nullptr && extra->readToEnd(5s).empty());
    }
    clients.clear();
    for (int id = 0; id < 50; ++id) ASSERT_TRUE(s.link->readLine(10s).has_value()) << "departure notices";
    ASSERT_TRUE(s.bridge->waitFor("has left chat", 10s, 50));
    EXPECT_TRUE(waitUntil([&] { return openDescriptors(pid) == fdsBefore; }, 10s))
        << openDescriptors(pid) << " descriptors, " << fdsBefore << " before";
    EXPECT_TRUE(waitUntil([&] { return statusFigure(pid, "Threads") == threadsBefore; }, 10s));
}

}  // namespace
}  // namespace kolvtest
