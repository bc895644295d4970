// Long runs of the real bridge: fifty clients relaying and receiving in
// volume, a full client table under connect/close churn, and a long flood
// of host lines to one client. Figures go to stdout for the ctest log.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
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

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

constexpr int kClients = 50;
constexpr int kPerClient = 200;
// Packets a client may have on the way: few enough (2 x 30 bytes) that
// one read of the bridge (513 bytes) never cuts one of them.
constexpr int kWindow = 2;
constexpr long kRssToleranceKb = 512;

const std::string kSite = "My Board";
const std::string kCleanSite = "My_Board";

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::string clientName(int k) { return "client" + std::to_string(k); }

std::string soakPacket(int k, int n) {
    return clientName(k) + "~Soak~~~~~msg " + std::to_string(k) + "-" + std::to_string(n) + "~\n";
}

std::string joinPacket(int k) { return clientName(k) + "~Soak~~~~~join~\n"; }

std::string disconnectNotice(int k) {
    return clientName(k) + "~" + kCleanSite + "~~NOTME~~~|08- " + clientName(k) + " has disconnected.~\n";
}

std::string hostChat(std::string_view tag, int n) {
    return "Host~Soak~~~~~" + std::string(tag) + " " + std::to_string(n) + "~\n";
}

bool isBridgeNotice(std::string_view line) { return line.rfind("SERVER~~~CLIENT~~~", 0) == 0; }

// The next line that is not a bridge notice; counts the notices skipped.
std::optional<std::string> nextChat(LocalClient& client, Clock::time_point deadline, std::size_t& notices) {
    for (;;) {
        std::optional<std::string> line = client.stream()->readLineBy(deadline);
        if (!line || !isBridgeNotice(*line)) return line;
        ++notices;
    }
}

bool procFiguresAvailable(pid_t pid) {
    const char* command = std::getenv("KOLV_BRIDGE_CMD");
    if (command != nullptr && *command != '\0') return false;
    std::error_code error;
    return std::filesystem::exists("/proc/" + std::to_string(pid) + "/fd", error);
}

long openDescriptors(pid_t pid) {
    std::error_code error;
    std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error);
    long count = 0;
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

// Polls a /proc figure until it equals want; returns the last value.
template <typename Read>
long waitForFigure(Read read, long want, Millis timeout) {
    auto deadline = deadlineAfter(timeout);
    for (;;) {
        long now = read();
        if (now == want || Clock::now() >= deadline) return now;
        std::this_thread::sleep_for(20ms);
    }
}

int connectLocal(int port, Millis timeout) {
    auto deadline = deadlineAfter(timeout);
    for (;;) {
        int fd = connectTcpBy(localListenAddress(), port, deadline);
        if (fd >= 0 || Clock::now() >= deadline) return fd;
        std::this_thread::sleep_for(10ms);
    }
}

// True when the peer ends the connection within timeout.
bool closedByPeer(int fd, Millis timeout) {
    auto deadline = deadlineAfter(timeout);
    char sink[256];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, millisLeft(deadline)) <= 0) return false;
        ssize_t n = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
        if (n <= 0) return n == 0 || (errno != EAGAIN && errno != EINTR);
    }
}

// Reads the host side in the background and sorts what arrives: each
// client's numbered packets in arrival order, join packets, departure
// notices, and anything else.
class HostTally {
public:
    explicit HostTally(std::shared_ptr<HostConnection> link)
        : received_(kClients), joins_(kClients, 0), notices_(kClients, 0), link_(std::move(link)) {
        reader_ = std::thread([this] { run(); });
    }
    ~HostTally() {
        stop_.store(true);
        reader_.join();
    }
    HostTally(const HostTally&) = delete;
    HostTally& operator=(const HostTally&) = delete;

    // Waits until pred(*this) holds (called under the lock) or the deadline.
    template <typename Pred>
    bool waitUntil(Pred pred, Clock::time_point deadline) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_until(lock, deadline, [&] { return pred(*this); });
    }

    // Under the lock (inside waitUntil) or after the reader has been idle.
    std::vector<std::vector<int>> received_;
    std::vector<int> joins_;
    std::vector<int> notices_;
    std::vector<std::string> unexpected_;
    std::size_t lines_ = 0;

    template <typename Use>
    auto locked(Use use) {
        std::lock_guard<std::mutex> lock(mutex_);
        return use(*this);
    }

private:
    void run() {
        while (!stop_.load()) {
            std::optional<std::string> line = link_->readLine(100ms);
            if (!line) {
                if (link_->stream().peerClosed()) break;
                continue;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            sort(*line);
            changed_.notify_all();
        }
    }

    void sort(const std::string& line) {
        ++lines_;
        int k = -1;
        int from = -1;
        int n = -1;
        if (std::sscanf(line.c_str(), "client%d~Soak~~~~~msg %d-%d~", &k, &from, &n) == 3 && k >= 0 &&
            k < kClients && line == soakPacket(k, n)) {
            received_[static_cast<std::size_t>(k)].push_back(n);
            return;
        }
        if (std::sscanf(line.c_str(), "client%d~", &k) == 1 && k >= 0 && k < kClients) {
            if (line == joinPacket(k)) {
                ++joins_[static_cast<std::size_t>(k)];
                return;
            }
            if (line == disconnectNotice(k)) {
                ++notices_[static_cast<std::size_t>(k)];
                return;
            }
        }
        unexpected_.push_back(line);
    }

    std::shared_ptr<HostConnection> link_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::atomic<bool> stop_{false};
    std::thread reader_;
};

struct RelayFigures {
    std::size_t sent = 0;
    std::size_t arrived = 0;
    std::size_t lost = 0;
    std::size_t duplicated = 0;
    std::size_t outOfOrder = 0;
    double seconds = 0;
};

// Every client relays kPerClient numbered packets, base..base+199, with at
// most kWindow of its own on the way at a time.
RelayFigures relayRound(std::vector<std::unique_ptr<LocalClient>>& clients, HostTally& tally, int base) {
    RelayFigures figures;
    auto start = Clock::now();
    auto deadline = deadlineAfter(180s);
    std::vector<int> sent(kClients, 0);
    std::vector<std::size_t> already = tally.locked([](HostTally& t) {
        std::vector<std::size_t> sizes;
        for (const auto& numbers : t.received_) sizes.push_back(numbers.size());
        return sizes;
    });
    for (;;) {
        std::vector<int> arrived = tally.locked([&](HostTally& t) {
            std::vector<int> counts;
            for (std::size_t k = 0; k < t.received_.size(); ++k) {
                counts.push_back(static_cast<int>(t.received_[k].size() - already[k]));
            }
            return counts;
        });
        bool done = true;
        for (int k = 0; k < kClients; ++k) {
            const auto index = static_cast<std::size_t>(k);
            if (arrived[index] < kPerClient) done = false;
            while (sent[index] < kPerClient && sent[index] - arrived[index] < kWindow) {
                if (!clients[index]->send(soakPacket(k, base + sent[index]))) {
                    ADD_FAILURE() << clientName(k) << " could not send";
                    sent[index] = kPerClient;
                    break;
                }
                ++sent[index];
                ++figures.sent;
            }
        }
        if (done || Clock::now() >= deadline) break;
        std::size_t seen = tally.locked([](HostTally& t) { return t.lines_; });
        tally.waitUntil([&](HostTally& t) { return t.lines_ != seen; },
                        std::min(deadline, Clock::now() + std::chrono::milliseconds(200)));
    }
    figures.seconds = secondsSince(start);

    tally.locked([&](HostTally& t) {
        for (int k = 0; k < kClients; ++k) {
            const auto index = static_cast<std::size_t>(k);
            std::vector<int> numbers(t.received_[index].begin() + static_cast<std::ptrdiff_t>(already[index]),
                                     t.received_[index].end());
            std::vector<int> counts(kPerClient, 0);
            for (std::size_t i = 0; i < numbers.size(); ++i) {
                int n = numbers[i] - base;
                if (n < 0 || n >= kPerClient) {
                    ++figures.duplicated;  // from another round: seen twice
                    continue;
                }
                if (counts[static_cast<std::size_t>(n)]++ > 0) ++figures.duplicated;
                if (i > 0 && numbers[i] <= numbers[i - 1]) ++figures.outOfOrder;
            }
            for (int c : counts) {
                if (c > 0) ++figures.arrived;
                if (c == 0) ++figures.lost;
            }
        }
        return 0;
    });
    return figures;
}

long rssKb(pid_t pid) { return statusFigure(pid, "VmRSS:"); }

}  // namespace

TEST(Soak, FiftyClientsRelayAndReceiveWithoutLossOrLeaks) {
    TempDir dir;
    FakeHost host;
    writeConfig(dir, ConfigOptions(host.portText()).withSite(kSite).withSoftware("Sys 2"));
    BridgeProcess bridge(dir, {"-W1"});
    auto link = host.waitForConnection(1, 10s);
    ASSERT_NE(link, nullptr) << bridge.output();
    ASSERT_EQ(link->readHandshake(5s), expectedHandshake(kSite, "Sys 2"));
    ASSERT_TRUE(bridge.waitForOutput("Ready for clients.", 5s)) << bridge.output();
    // Both figures are steady from here: the listening socket exists before
    // "Ready for clients." is printed, and no client has come yet.
    const pid_t pid = bridge.pid();
    const bool figures = procFiguresAvailable(pid);
    const long threadsBaseline = figures ? statusFigure(pid, "Threads:") : -1;
    const long fdsBaseline = figures ? openDescriptors(pid) : -1;
    const auto started = Clock::now();

    HostTally tally(link);
    std::vector<std::unique_ptr<LocalClient>> clients;
    for (int k = 0; k < kClients; ++k) {
        clients.push_back(std::make_unique<LocalClient>());
        LocalClient& client = *clients.back();
        ASSERT_TRUE(client.connect(host.port(), 5s)) << clientName(k);
        ASSERT_TRUE(client.send(joinPacket(k)));
        std::optional<std::string> latency = client.readLine(10s);
        ASSERT_TRUE(latency.has_value()) << clientName(k) << " got no latency notice";
        EXPECT_EQ(latency->rfind("SERVER~~~CLIENT~~~LATENCY:", 0), 0u) << *latency;
        EXPECT_TRUE(bridge.waitForOutput(clientName(k) + " entered chat (slot #" + std::to_string(k) + " occupied).",
                                         5s));
    }
    ASSERT_TRUE(tally.waitUntil(
        [](HostTally& t) {
            for (int joins : t.joins_) {
                if (joins == 0) return false;
            }
            return true;
        },
        deadlineAfter(10s)));
    const long fdsConnected = figures ? openDescriptors(pid) : -1;
    const long threadsConnected = figures ? statusFigure(pid, "Threads:") : -1;
    std::printf("[ soak     ] %d clients joined: fds %ld -> %ld, threads %ld -> %ld\n", kClients, fdsBaseline,
                fdsConnected, threadsBaseline, threadsConnected);
    if (figures) {
        EXPECT_EQ(fdsConnected, fdsBaseline + kClients);
        EXPECT_EQ(threadsConnected, threadsBaseline + kClients);
    }

    // (a) Every client relays 200 numbered packets to a host that does not echo.
    RelayFigures a1 = relayRound(clients, tally, 0);
    const long rssAfterA = figures ? rssKb(pid) : -1;
    std::printf("[ soak     ] round a: %zu packets sent, %zu arrived, %zu lost, %zu duplicated, %zu out of order, "
                "%.1f s; VmRSS %ld kB\n",
                a1.sent, a1.arrived, a1.lost, a1.duplicated, a1.outOfOrder, a1.seconds, rssAfterA);
    EXPECT_EQ(a1.sent, std::size_t{kClients * kPerClient});
    EXPECT_EQ(a1.arrived, std::size_t{kClients * kPerClient});
    EXPECT_EQ(a1.lost, 0u);
    EXPECT_EQ(a1.duplicated, 0u);
    EXPECT_EQ(a1.outOfOrder, 0u);

    // (b) The host sends 200 numbered chat lines: every client gets each
    // once, whole and in order (about 50 s: 5 ms per send to a client).
    {
        auto start = Clock::now();
        std::string batch;
        for (int n = 0; n < kPerClient; ++n) batch += hostChat("chat", n);
        batch += hostChat("end", 0);  // a sentinel: nothing may come between the last line and it
        ASSERT_TRUE(link->stream().send(batch, 30s));
        auto deadline = deadlineAfter(300s);
        std::size_t delivered = 0;
        std::size_t wrong = 0;
        std::size_t notices = 0;
        for (int k = 0; k < kClients; ++k) {
            LocalClient& client = *clients[static_cast<std::size_t>(k)];
            for (int n = 0; n <= kPerClient; ++n) {
                const std::string expected = n < kPerClient ? hostChat("chat", n) : hostChat("end", 0);
                std::optional<std::string> line = nextChat(client, deadline, notices);
                if (!line) {
                    ADD_FAILURE() << clientName(k) << ": line " << n << " did not arrive";
                    break;
                }
                if (*line != expected) {
                    ++wrong;
                    ADD_FAILURE() << clientName(k) << ": line " << n << " is \"" << *line << "\"";
                    break;
                }
                if (n < kPerClient) ++delivered;
            }
        }
        const long rssAfterB = figures ? rssKb(pid) : -1;
        std::printf("[ soak     ] round b: %zu of %d host lines delivered, %zu wrong, %zu bridge notices, %.1f s; "
                    "VmRSS %ld kB\n",
                    delivered, kClients * kPerClient, wrong, notices, secondsSince(start), rssAfterB);
        EXPECT_EQ(delivered, std::size_t{kClients * kPerClient});
    }

    // (a) again: RSS must not keep growing with traffic.
    const long rssBeforeA2 = figures ? rssKb(pid) : -1;
    RelayFigures a2 = relayRound(clients, tally, kPerClient);
    const long rssAfterA2 = figures ? rssKb(pid) : -1;
    std::printf("[ soak     ] round a2: %zu packets sent, %zu arrived, %zu lost, %zu duplicated, %zu out of order, "
                "%.1f s; VmRSS %ld -> %ld kB (%+ld kB)\n",
                a2.sent, a2.arrived, a2.lost, a2.duplicated, a2.outOfOrder, a2.seconds, rssBeforeA2, rssAfterA2,
                rssAfterA2 - rssBeforeA2);
    EXPECT_EQ(a2.arrived, std::size_t{kClients * kPerClient});
    EXPECT_EQ(a2.lost, 0u);
    EXPECT_EQ(a2.duplicated, 0u);
    EXPECT_EQ(a2.outOfOrder, 0u);
    if (figures && !kSanitized) {
        EXPECT_LE(rssAfterA2 - rssBeforeA2, kRssToleranceKb) << "VmRSS grew over a repeated round";
    }

    // (c) With every slot taken, 1000 connect/close cycles: each connection
    // is closed by the bridge at once, and nothing of them stays behind.
    {
        auto start = Clock::now();
        std::size_t refusedChecked = 0;
        for (int i = 0; i < 1000; ++i) {
            int fd = connectLocal(host.port(), 5s);
            ASSERT_GE(fd, 0) << "cycle " << i;
            // Every 100th, the last included: accepts are in order, so once the
            // last is seen closed, every earlier one has been dealt with.
            if (i % 100 == 99) {
                EXPECT_TRUE(closedByPeer(fd, 5s)) << "cycle " << i << ": the bridge kept a connection it had no slot for";
                ++refusedChecked;
            }
            ::close(fd);
        }
        const long fdsAfterC = figures ? waitForFigure([&] { return openDescriptors(pid); }, fdsConnected, 10s) : -1;
        std::printf("[ soak     ] round c: 1000 connect/close cycles with a full table in %.1f s (%zu checked "
                    "closed by the bridge); fds %ld, threads %ld, VmRSS %ld kB\n",
                    secondsSince(start), refusedChecked, fdsAfterC, figures ? statusFigure(pid, "Threads:") : -1L,
                    figures ? rssKb(pid) : -1L);
        if (figures) {
            EXPECT_EQ(fdsAfterC, fdsConnected);
        }
        EXPECT_EQ(countOccurrences(bridge.output(), "entered chat"), std::size_t{kClients});
    }

    // The clients leave: a departure notice each, and every descriptor and
    // thread of theirs is gone.
    for (auto& client : clients) client->close();
    bool allNotices = tally.waitUntil(
        [](HostTally& t) {
            for (int notices : t.notices_) {
                if (notices == 0) return false;
            }
            return true;
        },
        deadlineAfter(30s));
    EXPECT_TRUE(allNotices);
    EXPECT_TRUE(bridge.waitForOutput(" has left chat (slot #", 10s, kClients));
    const long threadsEnd = figures ? waitForFigure([&] { return statusFigure(pid, "Threads:"); }, threadsBaseline, 10s)
                                    : -1;
    const long fdsEnd = figures ? waitForFigure([&] { return openDescriptors(pid); }, fdsBaseline, 10s) : -1;
    const long rssEnd = figures ? rssKb(pid) : -1;

    tally.locked([&](HostTally& t) {
        std::size_t notices = 0;
        std::size_t joins = 0;
        for (int n : t.notices_) notices += static_cast<std::size_t>(n);
        for (int n : t.joins_) joins += static_cast<std::size_t>(n);
        std::printf("[ soak     ] end: %zu lines at the host (%zu joins, %zu departure notices, %zu unexpected); "
                    "fds %ld -> %ld, threads %ld -> %ld, VmRSS %ld kB; %.1f s in all\n",
                    t.lines_, joins, notices, t.unexpected_.size(), fdsBaseline, fdsEnd, threadsBaseline, threadsEnd,
                    rssEnd, secondsSince(started));
        EXPECT_EQ(joins, std::size_t{kClients});
        EXPECT_EQ(notices, std::size_t{kClients});
        for (const std::string& line : t.unexpected_) ADD_FAILURE() << "unexpected at the host: \"" << line << "\"";
        return 0;
    });
    if (figures) {
        EXPECT_EQ(fdsEnd, fdsBaseline) << "descriptors left behind";
        EXPECT_EQ(threadsEnd, threadsBaseline) << "client threads left behind";
    }
    EXPECT_TRUE(bridge.running());
    EXPECT_EQ(bridge.output().find("failed with error"), std::string::npos) << bridge.output();
}

TEST(Soak, TenThousandHostLinesReachOneClientWholeAndInOrder) {
    TempDir dir;
    FakeHost host;
    writeConfig(dir, ConfigOptions(host.portText()).withSite(kSite).withSoftware("Sys 2"));
    BridgeProcess bridge(dir, {"-W1"});
    auto link = host.waitForConnection(1, 10s);
    ASSERT_NE(link, nullptr) << bridge.output();
    ASSERT_EQ(link->readHandshake(5s), expectedHandshake(kSite, "Sys 2"));
    LocalClient client;
    ASSERT_TRUE(client.connect(host.port(), 5s));
    ASSERT_TRUE(client.send(joinPacket(0)));
    ASSERT_TRUE(link->readUntil(joinPacket(0), 10s));

    constexpr int kLines = 10000;  // 5 ms per send to a client: about 50 s
    auto start = Clock::now();
    std::atomic<bool> sendFailed{false};
    // The host writes in batches while the client reads: the bridge passes
    // lines on at its own pace, so the host's writes back up.
    std::thread writer([&] {
        for (int from = 0; from < kLines; from += 1000) {
            std::string batch;
            for (int n = from; n < from + 1000; ++n) batch += hostChat("flood", n);
            if (!link->stream().send(batch, 300s)) {
                sendFailed.store(true);
                return;
            }
        }
    });
    auto deadline = deadlineAfter(400s);
    int received = 0;
    std::size_t notices = 0;
    for (; received < kLines; ++received) {
        std::optional<std::string> line = nextChat(client, deadline, notices);
        if (!line) {
            ADD_FAILURE() << "line " << received << " did not arrive";
            break;
        }
        if (*line != hostChat("flood", received)) {
            ADD_FAILURE() << "line " << received << " is \"" << *line << "\"";
            break;
        }
    }
    writer.join();
    const double seconds = secondsSince(start);
    std::printf("[ soak     ] %d of %d host lines reached one client in %.1f s (%zu bridge notices); VmRSS %ld kB\n",
                received, kLines, seconds, notices,
                procFiguresAvailable(bridge.pid()) ? rssKb(bridge.pid()) : -1L);
    EXPECT_FALSE(sendFailed.load());
    EXPECT_EQ(received, kLines);
    EXPECT_FALSE(client.readLine(200ms).has_value()) << "more lines than were sent";
    EXPECT_TRUE(bridge.running());
}
