// Every packet reaches the host whole, or the link is replaced: checked over
// everything the host received, not by the arrival of one packet.
#include <algorithm>
#include <atomic>
#include <map>
#include <numeric>

#include "e2e/harness.h"

namespace kolvtest {
namespace {

const std::string kHello = "SERVER~~~~~~HELLO~\n";

// A numbered packet of exactly `size` bytes from client `id`.
std::string numbered(int id, int seq, std::size_t size) {
    std::string head = "c" + std::to_string(id) + "~Site~~~~~" + std::to_string(seq) + ":";
    return head + std::string(size - head.size() - 2, 'x') + "~\n";
}

struct Received {
    std::map<int, std::vector<int>> seqs;  // per client, in arrival order
    std::vector<std::string> broken;       // lines that are not one whole packet
    int ends = 0;
};

// Checks every line of one link's bytes; a cut link's last piece without
// its line end never became a line.
void collect(const std::string& bytes, std::size_t size, Received& got) {
    for (const std::string& line : lines(bytes.substr(0, bytes.rfind('\n') + 1))) {
        int id = -1, seq = -1;
        if (line.rfind("end~", 0) == 0) {
            ++got.ends;
            continue;
        }
        bool whole = std::count(line.begin(), line.end(), '~') == 7 && line.back() == '~' &&
                     (line[0] != 'c' || (line.size() + 1 == size &&
                                         std::sscanf(line.c_str(), "c%d~Site~~~~~%d:", &id, &seq) == 2));
        if (!whole) got.broken.push_back(line.substr(0, 80));
        if (whole && id >= 0) got.seqs[id].push_back(seq);
    }
}

// Reads the host's links in turn until stopped: a link that ends is followed
// by the next one, which is greeted with HELLO.
class HostReader {
public:
    explicit HostReader(Host& host) : thread_([this, &host] { run(host); }) {}
    ~HostReader() { stop(); }
    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    std::vector<std::string> links() {
        std::lock_guard<std::mutex> lock(mutex_);
        return bytes_;
    }
    int endsSeen() { return ends_.load(); }

private:
    void run(Host& host) {
        for (std::size_t n = 1; !stop_; ++n) {
            std::shared_ptr<Stream> link;
            while (!stop_ && (link = host.link(n, 100ms)) == nullptr) {
            }
            if (link == nullptr) return;
            if (n > 1) {
                // The handshake has no line end: read it alone before the
                // host speaks, as the bridge expects a host to.
                std::string handshake;
                while (!stop_ && handshake.size() < expectedHandshake().size() && !link->closed()) {
                    handshake += link->readSome(50ms);
                }
                EXPECT_EQ(handshake, expectedHandshake());
                link->send(kHello);
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                bytes_.emplace_back();
            }
            while (!stop_ && !link->closed()) {
                std::string more = link->readSome(50ms);
                std::lock_guard<std::mutex> lock(mutex_);
                std::string& all = bytes_.back();
                std::size_t from = all.size() < 4 ? 0 : all.size() - 4;
                all += more;
                for (auto at = all.find("\nend~", from); at != std::string::npos; at = all.find("\nend~", at + 1)) {
                    ++ends_;
                }
            }
        }
    }
    std::atomic<bool> stop_{false};
    std::atomic<int> ends_{0};
    std::mutex mutex_;
    std::vector<std::string> bytes_;
    std::thread thread_;
};

struct StallCase {
    const char* name;
    HostMode mode;
    int clients;
};

class StalledHost : public ::testing::TestWithParam<StallCase> {};

// Clients send numbered 513-byte packets (one per read at the bridge) while
// the host stops reading; then it reads again. Every line is whole, each
// client's packets come in order, each missing packet has its failure line,
// and a link that was cut is replaced and announced.
TEST_P(StalledHost, EveryLineIsWholeAndEveryLossReported) {
    const StallCase& c = GetParam();
    constexpr std::size_t kSize = 513;
    Dir dir;
    Host host(c.mode, 4096);
    writeConfig(dir, {host.portText(), c.mode == HostMode::Tls});
    auto bridge = startBridge(dir);
    auto first = host.link(1);
    ASSERT_NE(first, nullptr) << bridge->out();
    ASSERT_EQ(first->readSome(5s), expectedHandshake());
    ASSERT_TRUE(first->send(kHello));
    auto watcher = joinAs(host.port(), "Watcher");
    ASSERT_NE(watcher, nullptr) << bridge->out();

    std::atomic<bool> stop{false};
    std::vector<int> sent(static_cast<std::size_t>(c.clients), 0);
    std::vector<std::unique_ptr<Stream>> clients;
    std::vector<std::thread> senders;
    for (int id = 0; id < c.clients; ++id) clients.push_back(connectClient(host.port(), 10s, 4096));
    for (int id = 0; id < c.clients; ++id) {
        senders.emplace_back([&, id] {
            for (int seq = 0; !stop && clients[static_cast<std::size_t>(id)]->send(numbered(id, seq, kSize), 120s); ++seq) {
                sent[static_cast<std::size_t>(id)] = seq + 1;
            }
        });
    }
    bool failed = bridge->waitFor("sendHostPacket failed with error: ", 40s);
    HostReader reader(host);
    std::this_thread::sleep_for(1s);
    stop = true;
    for (auto& sender : senders) sender.join();
    for (std::size_t id = 0; id < clients.size(); ++id) {
        ASSERT_TRUE(clients[static_cast<std::size_t>(id)]->send("end~~~~~~" + std::to_string(id) + "~\n", 120s));
    }
    EXPECT_TRUE(waitUntil([&] { return reader.endsSeen() == c.clients; }, 90s)) << reader.endsSeen();
    reader.stop();

    Received got;
    for (const auto& bytes : reader.links()) collect(bytes, kSize, got);
    int total = 0, whole = 0;
    for (int id = 0; id < c.clients; ++id) {
        const auto& seqs = got.seqs[id];
        total += sent[static_cast<std::size_t>(id)];
        whole += static_cast<int>(seqs.size());
        EXPECT_TRUE(std::is_sorted(seqs.begin(), seqs.end()) &&
                    std::adjacent_find(seqs.begin(), seqs.end()) == seqs.end())
            << "client " << id << " out of order";
    }
    const std::string out = bridge->out();
    std::size_t failures = 0;
    for (const std::string& line : stamped(out)) failures += line.rfind("sendHostPacket failed with error: ", 0) == 0;
    const std::size_t links = reader.links().size();
    std::printf("[ figures  ] %s: %d packets sent, %d received whole, %zu reported failed, %zu links\n", c.name, total,
                whole, failures, links);
    EXPECT_TRUE(failed);
    EXPECT_TRUE(got.broken.empty()) << got.broken.size() << " broken lines, first: " << got.broken.front();
    EXPECT_EQ(static_cast<std::size_t>(total - whole), failures);
    EXPECT_EQ(tornLines(out), std::vector<std::string>{});
    if (links > 1) {
        EXPECT_TRUE(watcher->readLine(5s) == "SERVER~~~CLIENT~~~RECONNECT~\n") << out;
    }
}

INSTANTIATE_TEST_SUITE_P(Integrity, StalledHost,
                         ::testing::Values(StallCase{"plain", HostMode::Plain, 49},
                                           StallCase{"tls", HostMode::Tls, 20}),
                         [](const auto& row) { return std::string(row.param.name); });

// Clients that write several packets at once, and packets split across
// writes, as fast as they can: each line at the host is one client's packet.
TEST(Integrity, BackToBackSendersNeverInterleave) {
    constexpr int kClients = 10, kRounds = 60;
    constexpr std::size_t kSize = 488;
    Dir dir;
    Host host;
    writeConfig(dir, {host.portText()});
    auto bridge = startBridge(dir);
    auto link = host.link(1);
    ASSERT_NE(link, nullptr);
    ASSERT_EQ(link->readSome(5s), expectedHandshake());
    ASSERT_TRUE(link->send(kHello));
    std::vector<std::thread> senders;
    for (int id = 0; id < kClients; ++id) {
        senders.emplace_back([&, id] {
            auto client = connectClient(host.port());
            for (int seq = 0; client && seq < kRounds * 3; seq += 3) {
                std::string three = numbered(id, seq, kSize) + numbered(id, seq + 1, kSize);
                const std::string last = numbered(id, seq + 2, kSize);
                client->send(three + last.substr(0, 100));
                client->send(last.substr(100));
            }
            if (client) client->send("end~~~~~~" + std::to_string(id) + "~\n");
            if (client) client->readToEnd(60s);  // kept open until the bridge ends
        });
    }
    std::string bytes;
    Received got;
    waitUntil([&] {
        bytes += link->readSome(50ms);
        got = Received{};
        collect(bytes, kSize, got);
        return got.ends == kClients;
    }, 60s);
    bridge.reset();
    for (auto& sender : senders) sender.join();
    EXPECT_TRUE(got.broken.empty()) << got.broken.size() << " broken lines, first: " << got.broken.front();
    for (int id = 0; id < kClients; ++id) {
        std::vector<int> all(kRounds * 3);
        std::iota(all.begin(), all.end(), 0);
        EXPECT_EQ(got.seqs[id], all) << "client " << id;
    }
}

// A host that reads its first bytes late, across a reconnect while clients
// send: those bytes are the handshake alone.
TEST(Integrity, HandshakeStandsAloneForAHostThatReadsLate) {
    Dir dir;
    Host host;
    writeConfig(dir, {host.portText()});
    auto bridge = startBridge(dir);
    auto first = host.link(1);
    ASSERT_NE(first, nullptr);
    ASSERT_TRUE(first->send(kHello));
    std::atomic<bool> stop{false};
    std::vector<std::thread> senders;
    for (int id = 0; id < 5; ++id) {
        senders.emplace_back([&, id] {
            auto client = connectClient(host.port());
            for (int seq = 0; client && !stop; ++seq) {
                client->send(chat("u" + std::to_string(id), "msg " + std::to_string(seq)));
                std::this_thread::sleep_for(20ms);
            }
        });
    }
    std::this_thread::sleep_for(300ms);
    first->close();
    auto second = host.link(2);
    ASSERT_NE(second, nullptr) << bridge->out();
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(second->readSome(1s), expectedHandshake());
    ASSERT_TRUE(second->send(kHello));
    std::string after = second->readSome(5s);
    waitUntil([&] { return (after += second->readSome(50ms)).size() > 2000; }, 5s);
    stop = true;
    for (auto& sender : senders) sender.join();
    Received got;
    collect(after, 0, got);
    EXPECT_TRUE(got.broken.empty()) << got.broken.front();
    EXPECT_EQ(tornLines(bridge->out()), std::vector<std::string>{});
}

}  // namespace
}  // namespace kolvtest
