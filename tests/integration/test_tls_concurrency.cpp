// Client threads writing to a TLS host link while the main thread reads it:
// the link lock must keep every packet whole and in order both ways (and the
// sanitizer builds check the TLS object is never used by two threads at once).
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "harness/harness.h"
#include "harness/packets.h"

using namespace std::chrono_literals;
using namespace kolvtest;

namespace {

constexpr int kClients = 4;
constexpr int kPacketsEach = 40;
constexpr int kHostLines = 50;

std::string clientPacket(int client, int n) {
    return "c" + std::to_string(client) + "~HomeBoard~~~~~msg " + std::to_string(n) + "~\n";
}

std::string hostLine(int n) { return "Host~Far~~~~~line " + std::to_string(n) + "~\n"; }

TEST(TlsLinkConcurrency, ClientsRelayWhileTheHostSendsOverTls) {
    TempDir dir;
    FakeHost host(HostMode::Tls);
    writeConfig(dir, ConfigOptions(host.portText()).withTls().withSite("My Board"));
    BridgeProcess bridge(dir, {"-W1"});
    auto link = host.waitForConnection(1, 10s);
    ASSERT_NE(link, nullptr);
    ASSERT_TRUE(link->tlsEstablished()) << link->tlsError();
    ASSERT_FALSE(link->readHandshake(5s).empty());
    ASSERT_TRUE(bridge.waitForOutput("] Ready for clients.\n", 5s)) << bridge.output();

    std::vector<std::unique_ptr<LocalClient>> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.push_back(std::make_unique<LocalClient>());
        ASSERT_TRUE(clients.back()->connect(host.port(), 5s));
        ASSERT_TRUE(clients.back()->send(clientPacket(c, 0)));
        ASSERT_EQ(text(clients.back()->readLine(5s)), latencyPacket(0));
    }

    std::thread hostSender([&] {
        for (int n = 0; n < kHostLines; ++n) {
            link->send(hostLine(n));
            std::this_thread::sleep_for(2ms);
        }
    });
    std::vector<std::thread> senders;
    for (int c = 0; c < kClients; ++c) {
        senders.emplace_back([&, c] {
            for (int n = 1; n <= kPacketsEach; ++n) {
                clients[static_cast<std::size_t>(c)]->send(clientPacket(c, n));
                std::this_thread::sleep_for(12ms);
            }
        });
    }

    // The host gets every client's packets whole and in each client's order.
    std::map<int, int> nextFrom;
    int received = 0;
    const auto deadline = deadlineAfter(30s);
    while (received < kClients * (kPacketsEach + 1) && Clock::now() < deadline) {
        std::optional<std::string> line = link->readLine(5s);
        if (!line) break;
        int client = std::stoi(line->substr(1, line->find('~') - 1));
        ASSERT_EQ(*line, clientPacket(client, nextFrom[client])) << "out of order or torn";
        ++nextFrom[client];
        ++received;
    }
    hostSender.join();
    for (auto& t : senders) t.join();
    EXPECT_EQ(received, kClients * (kPacketsEach + 1));

    // Every client gets every host line whole and in order.
    for (int c = 0; c < kClients; ++c) {
        for (int n = 0; n < kHostLines; ++n) {
            ASSERT_EQ(text(clients[static_cast<std::size_t>(c)]->readLine(10s)), hostLine(n)) << "client " << c;
        }
    }
    EXPECT_TRUE(bridge.running());
}

}  // namespace
