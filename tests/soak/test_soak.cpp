// Long runs, kept out of the quick suite (label soak): fifty clients relay
// and receive over a TLS link, a full table is churned, and the bridge keeps
// no descriptor, thread or memory it should have given back.
#include <dirent.h>

#include <atomic>
#include <fstream>
#include <map>

#include "e2e/harness.h"

namespace kolvtest {
namespace {

constexpr int kClients = 50;
constexpr int kPerClient = 200;

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

// Every client sends numbered packets while the host reads them and, now
// and then, sends a numbered line to all: over TLS the bridge reads and
// writes the link at once. Each side gets everything, whole, in order.
void relayRound(Session& s, std::vector<std::unique_ptr<Stream>>& clients, int round) {
    std::vector<std::thread> senders;
    for (std::size_t id = 0; id < clients.size(); ++id) {
        senders.emplace_back([&, id] {
            for (int n = 0; n < kPerClient; ++n) {
                clients[id]->send(chat("U" + std::to_string(id), std::to_string(round) + ":" + std::to_string(n)));
                std::this_thread::sleep_for(10ms);
            }
        });
    }
    std::map<std::string, int> next;
    int got = 0, wrong = 0;
    int sentLines = 0;
    for (std::optional<std::string> line; got + wrong < kClients * kPerClient && (line = s.link->readLine(30s));) {
        if ((got + wrong) % 250 == 0 && sentLines < 40) {
            ASSERT_TRUE(s.link->send(chat("H", std::to_string(round) + "/" + std::to_string(sentLines++))));
        }
        char user[16] = {};
        int r = -1, n = -1;
        bool inOrder = std::sscanf(line->c_str(), "%15[^~]~Site~~~~~%d:%d~", user, &r, &n) == 3 && r == round &&
                       next[user]++ == n;
        (inOrder ? got : wrong)++;
    }
    for (auto& sender : senders) sender.join();
    std::printf("[ soak     ] round %d: %d of %d packets whole and in order, %d wrong\n", round, got,
                kClients * kPerClient, wrong);
    EXPECT_EQ(got, kClients * kPerClient);
    for (; sentLines < 40; ++sentLines) ASSERT_TRUE(s.link->send(chat("H", std::to_string(round) + "/" + std::to_string(sentLines))));
    for (auto& client : clients) {
        for (int n = 0; n < 40; ++n) ASSERT_EQ(client->readLine(30s), chat("H", std::to_string(round) + "/" + std::to_string(n)));
    }
}

TEST(Soak, FiftyClientsRelayAndReceiveWithoutLossOrLeaks) {
    Session s({"-W1"}, HostMode::Tls);
    ASSERT_TRUE(s.bridge->waitFor("To exit any time", 10s));  // the listener is open: the baseline
    const pid_t pid = s.bridge->pid();
    const long fdsBefore = openDescriptors(pid), threadsBefore = statusFigure(pid, "Threads");
    std::vector<std::unique_ptr<Stream>> clients;
    for (int id = 0; id < kClients; ++id) clients.push_back(s.join("U" + std::to_string(id)));
    relayRound(s, clients, 1);
    const long rssAfterFirst = statusFigure(pid, "VmRSS");
    relayRound(s, clients, 2);
    const long rssAfterSecond = statusFigure(pid, "VmRSS");
    for (int cycle = 0; cycle < 1000; ++cycle) {  // the table is full: each one is closed at once
        auto extra = connectClient(s.host.port());
        ASSERT_TRUE(extra != nullptr && extra->readToEnd(5s).empty());
    }
    for (auto& client : clients) client.reset();
    for (int id = 0; id < kClients; ++id) ASSERT_TRUE(s.link->readLine(10s).has_value()) << "departure notices";
    ASSERT_TRUE(s.bridge->waitFor("has left chat", 10s, kClients));
    ASSERT_TRUE(waitUntil([&] { return openDescriptors(pid) == fdsBefore; }, 10s))
        << openDescriptors(pid) << " descriptors, " << fdsBefore << " before";
    EXPECT_TRUE(waitUntil([&] { return statusFigure(pid, "Threads") == threadsBefore; }, 10s));
    std::printf("[ soak     ] descriptors %ld -> %ld, threads %ld, VmRSS %ld -> %ld kB\n", fdsBefore,
                openDescriptors(pid), threadsBefore, rssAfterFirst, rssAfterSecond);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)  // their shadow memory grows by itself
    EXPECT_LE(rssAfterSecond - rssAfterFirst, 512) << "memory grows from one round to the next";
#endif
}

}  // namespace
}  // namespace kolvtest
