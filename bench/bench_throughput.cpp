// Sustained relay: clients send as fast as the bridge takes, the host counts.
#include <algorithm>

#include "bench_rig.h"

namespace bench {
namespace {

// The bridge reads at most 513 bytes from a client at a time.
constexpr std::size_t kFullPacket = 513;

std::string fullSizePacket(const std::string& user, const std::string& tag) {
    std::string head = user + "~" + kSite + "~~~~~" + tag;
    std::string tail = "~\n";
    std::size_t pad = kFullPacket > head.size() + tail.size() ? kFullPacket - head.size() - tail.size() : 0;
    return head + std::string(pad, 'x') + tail;
}

struct Flow {
    std::vector<Clock::time_point> arrivals;

    std::size_t count() const { return arrivals.size(); }
    // Steady-state rate over the middle 80 % of the arrivals, so that the
    // start (all clients at once) and the tail do not bend it.
    double perSecond() const {
        std::size_t n = arrivals.size();
        if (n < 2) return 0.0;
        std::size_t from = n >= 20 ? n / 10 : 0;
        std::size_t to = n >= 20 ? n - 1 - n / 10 : n - 1;
        double seconds = std::chrono::duration<double>(arrivals[to] - arrivals[from]).count();
        return seconds > 0 ? static_cast<double>(to - from) / seconds : 0.0;
    }
};

// Counts host lines whose body starts with prefix until `expected` came or the deadline.
Flow countAtHost(Rig& rig, const std::string& prefix, std::size_t expected, Clock::time_point deadline) {
    Flow flow;
    auto match = [&prefix](const std::string& line) { return bodyOf(line).rfind(prefix, 0) == 0; };
    while (flow.count() < expected) {
        auto a = rig.reader.waitFor(rig.hostId, match, deadline);
        if (!a) break;
        flow.arrivals.push_back(a->at);
    }
    return flow;
}

std::string lostText(const Flow& flow, std::size_t sent) {
    return flow.count() == sent ? "none lost"
                                : std::to_string(sent - flow.count()) + " of " + std::to_string(sent) + " lost";
}

}  // namespace

void measureSustainedOne(Rig& rig) {
    rig.ensureBridgeAlive();
    BenchClient& client = rig.clients.at(0);

    // Full-size packets: each of the bridge's reads takes exactly one.
    std::size_t n = static_cast<std::size_t>(rig.options.sustainedFull);
    std::string data;
    for (std::size_t i = 0; i < n; ++i) {
        data += fullSizePacket(client.user, numbered("sf.", static_cast<long long>(i)) + ".");
    }
    rig.reader.clear(rig.hostId);
    Clock::time_point start = Clock::now();
    sendAll(client.fd.get(), data);
    Flow full = countAtHost(rig, "sf.", n, start + std::chrono::milliseconds(30 * static_cast<int>(n) + 5000));
    rig.report.addValue("sustained_1_client_full", "sustained, 1 client, 513-byte packets", full.perSecond(),
                        "pkt/s", "ceiling 100/s; " + lostText(full, n));

    // Small packets: the bridge relays whatever one read brings, several packets at once.
    std::size_t m = static_cast<std::size_t>(rig.options.sustainedSmall);
    data.clear();
    for (std::size_t i = 0; i < m; ++i) {
        data += chatPacket(client.user, kSite, numbered("sm.", static_cast<long long>(i)));
    }
    std::size_t meanSize = data.size() / std::max<std::size_t>(m, 1);
    rig.reader.clear(rig.hostId);
    start = Clock::now();
    sendAll(client.fd.get(), data);
    Flow small = countAtHost(rig, "sm.", m, start + std::chrono::milliseconds(30 * static_cast<int>(m) + 5000));
    double chunkRate = small.perSecond() * static_cast<double>(meanSize) / static_cast<double>(kFullPacket);
    std::string label = "sustained, 1 client, " + std::to_string(meanSize) + "-byte packets";
    rig.report.addValue("sustained_1_client_small", label, small.perSecond(), "pkt/s",
                        "= " + fixedText(chunkRate, 0) + " reads of 513 B/s; " + lostText(small, m));
    rig.ensureBridgeAlive();
}

void measureSustainedMany(Rig& rig) {
    rig.ensureBridgeAlive();
    std::size_t per = static_cast<std::size_t>(rig.options.sustainedPerClient);
    std::vector<std::string> data(rig.clients.size());
    for (std::size_t c = 0; c < rig.clients.size(); ++c) {
        for (std::size_t i = 0; i < per; ++i) {
            std::string tag = numbered(numbered("sn.", static_cast<long long>(c)) + ".", static_cast<long long>(i));
            data[c] += fullSizePacket(rig.clients[c].user, tag + ".");
        }
    }
    std::size_t total = per * rig.clients.size();
    rig.reader.clear(rig.hostId);
    Clock::time_point start = Clock::now();
    // Each block fits the socket buffers, so all clients are sending within a few ms.
    for (std::size_t c = 0; c < rig.clients.size(); ++c) sendAll(rig.clients[c].fd.get(), data[c]);
    Flow flow = countAtHost(rig, "sn.", total, start + std::chrono::milliseconds(30 * static_cast<int>(per) + 20000));
    std::string k = std::to_string(rig.clients.size());
    rig.report.addValue("sustained_" + k + "_clients_full", "sustained, " + k + " clients, 513-byte packets",
                        flow.perSecond(), "pkt/s",
                        "ceiling " + std::to_string(100 * rig.clients.size()) + "/s; " + lostText(flow, total));
    rig.ensureBridgeAlive();
}

}  // namespace bench
