// One-packet latencies: raw loopback floor, a peer relay (socat), the
// bridge in both directions, and the echo that the bridge measures.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <thread>
#include <utility>

#include "bench_rig.h"

namespace bench {
namespace {

using std::chrono::milliseconds;

double msBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

std::function<bool(const std::string&)> isLine(const std::string& expected) {
    return [expected](const std::string& line) { return line == expected; };
}

bool isLatencyNotice(const std::string& line) { return bodyOf(line).rfind("LATENCY:", 0) == 0; }

bool onPath(const std::string& name) {
    if (name.find('/') != std::string::npos) return ::access(name.c_str(), X_OK) == 0;
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string candidate = dirs.substr(start, end - start) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return true;
        start = end + 1;
    }
    return false;
}

// A plain TCP pair on 127.0.0.1: the floor every figure is set against.
struct RawPair {
    RawPair() = default;
    RawPair(RawPair&& other) noexcept
        : reader(std::exchange(other.reader, nullptr)),
          sender(std::move(other.sender)),
          receiver(std::move(other.receiver)),
          receiverId(other.receiverId) {}
    RawPair& operator=(RawPair&&) = delete;
    // Runs before the members close their sockets.
    ~RawPair() {
        if (reader != nullptr) reader->remove(receiverId);
    }
    void watch(LineReader& r) {
        reader = &r;
        receiverId = r.add(receiver.get());
    }

    LineReader* reader = nullptr;
    Fd sender;
    Fd receiver;
    int receiverId = -1;
};

RawPair openRawPair(LineReader& reader) {
    Fd listening = bindTcp("127.0.0.1", 0);
    startListening(listening.get());
    RawPair pair;
    Clock::time_point deadline = Clock::now() + std::chrono::seconds(5);
    pair.sender = connectTcp("127.0.0.1", localPort(listening.get()), deadline);
    pair.receiver = acceptWithin(listening.get(), deadline);
    pair.watch(reader);
    return pair;
}

// socat forwarding 127.0.0.1:p2 to a receiver of ours on 127.0.0.2:p3: what a
// relay that only copies bytes adds.
struct PeerRelay {
    std::unique_ptr<Child> socat;
    RawPair pair;
    std::string unavailable;  // why not, when it could not be set up
};

PeerRelay openPeerRelay(Rig& rig) {
    PeerRelay relay;
    if (!onPath(rig.options.socat)) {
        relay.unavailable = rig.options.socat + " not found (bench/run.sh installs it)";
        return relay;
    }
    Fd target = bindTcp("127.0.0.2", 0);
    startListening(target.get());
    std::uint16_t targetPort = localPort(target.get());
    std::uint16_t relayPort = 0;
    for (int attempt = 0; attempt < 20 && relayPort == 0; ++attempt) {
        std::uint16_t candidate = localPort(bindTcp("127.0.0.1", 0).get());
        if (portFree("127.0.0.1", candidate)) relayPort = candidate;
    }
    if (relayPort == 0) throw BenchError("no free port for the peer relay");
    relay.socat = std::make_unique<Child>(
        std::vector<std::string>{rig.options.socat,
                                 "TCP-LISTEN:" + std::to_string(relayPort) + ",bind=127.0.0.1,reuseaddr,fork",
                                 "TCP:127.0.0.2:" + std::to_string(targetPort)},
        rig.dir, rig.dir + "/socat.out");
    Clock::time_point deadline = Clock::now() + std::chrono::seconds(5);
    relay.pair.sender = connectTcp("127.0.0.1", relayPort, deadline);
    relay.pair.receiver = acceptWithin(target.get(), deadline);
    relay.pair.watch(rig.reader);
    return relay;
}

// One packet from sendFd until the reader sees it on receiverId; ms.
double timeOnePacket(LineReader& reader, int sendFd, int receiverId, const std::string& packet, const char* path) {
    reader.clear(receiverId);
    Clock::time_point t0 = Clock::now();
    sendAll(sendFd, packet);
    auto arrival = reader.waitFor(receiverId, isLine(packet), t0 + std::chrono::seconds(3));
    if (!arrival) throw BenchError(std::string("packet lost on the ") + path + " path");
    return msBetween(t0, arrival->at);
}

std::vector<double> differences(const std::vector<double>& a, const std::vector<double>& b) {
    std::vector<double> d;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) d.push_back(a[i] - b[i]);
    return d;
}

// One path of a paced round: a sender, and the reader's id for its receiver.
// A path with no sender keeps its turn empty.
struct TimedPath {
    const char* name;
    int sendFd = -1;
    int receiverId = -1;
};

TimedPath pathOf(const char* name, const RawPair& pair) { return {name, pair.sender.get(), pair.receiverId}; }

// Rounds 15 ms apart (the bridge pauses 10 ms after each relay: stay clear of
// it); in each, every path carries the round's packet, the paths taking turns
// at going first so that none gains from the order. Samples per path in ms,
// warm-up rounds left out. The floor row and the quiet-floor probes both come
// from here: measured alike, they compare.
std::vector<std::vector<double>> timePacedRounds(LineReader& reader, const std::vector<TimedPath>& paths,
                                                 const std::string& user, int warmup, int rounds) {
    std::vector<std::vector<double>> samples(paths.size());
    for (int i = 0; i < warmup + rounds; ++i) {
        Clock::time_point roundStart = Clock::now();
        std::string packet = chatPacket(user, kSite, numbered("r", 100000 + i));
        for (std::size_t turn = 0; turn < paths.size(); ++turn) {
            const std::size_t at = (static_cast<std::size_t>(i) + turn) % paths.size();
            if (paths[at].sendFd < 0) continue;
            double ms = timeOnePacket(reader, paths[at].sendFd, paths[at].receiverId, packet, paths[at].name);
            if (i >= warmup) samples[at].push_back(ms);
        }
        std::this_thread::sleep_until(roundStart + milliseconds(15));
    }
    return samples;
}

}  // namespace

// The floor row's rounds: the floor, the peer relay (when socat is there)
// and the bridge from client 0 to the host, each round one packet on each.
struct FloorRounds {
    std::vector<double> floorMs;
    std::vector<double> relayMs;
    std::vector<double> bridgeMs;
    std::string relayUnavailable;  // why the relay is missing, when it is
};

FloorRounds runFloorRounds(Rig& rig, int rounds) {
    rig.ensureBridgeAlive();
    RawPair floor = openRawPair(rig.reader);
    PeerRelay relay = openPeerRelay(rig);
    const bool haveRelay = relay.unavailable.empty();
    BenchClient& client = rig.clients.at(0);
    auto samples = timePacedRounds(
        rig.reader,
        {pathOf("floor", floor), haveRelay ? pathOf("peer relay", relay.pair) : TimedPath{"peer relay"},
         TimedPath{"bridge", client.fd.get(), rig.hostId}},
        client.user, std::max(5, rounds / 20), rounds);
    rig.ensureBridgeAlive();
    if (relay.socat) {
        relay.pair.sender.reset();
        relay.socat->stop(SIGTERM);
    }
    return {std::move(samples[0]), std::move(samples[1]), std::move(samples[2]), relay.unavailable};
}

double probeFloorMicros(Rig& rig) {
    return summarize(runFloorRounds(rig, std::max(40, rig.options.rounds / 2)).floorMs).median * 1000.0;
}

void measureRelayRounds(Rig& rig) {
    const FloorRounds measured = runFloorRounds(rig, rig.options.rounds);
    const std::vector<double>& floorMs = measured.floorMs;
    const std::vector<double>& relayMs = measured.relayMs;
    const std::vector<double>& bridgeMs = measured.bridgeMs;
    const bool haveRelay = measured.relayUnavailable.empty();

    Report& report = rig.report;
    report.addDistribution("floor", "floor: raw loopback TCP, one packet", floorMs);
    if (haveRelay) {
        report.addDistribution("peer_relay", "peer relay (socat), one packet", relayMs);
    } else {
        report.addNote("peer relay skipped: " + measured.relayUnavailable);
    }
    report.addDistribution("client_to_host", "bridge: client -> host, one packet", bridgeMs);
    std::vector<double> overhead = differences(bridgeMs, floorMs);
    report.addDistribution("client_to_host_overhead", "  overhead above floor (paired)", overhead);
    rig.floorMedianMs = summarize(floorMs).median;
    Summary b = summarize(bridgeMs);
    Summary o = summarize(overhead);
    if (haveRelay) {
        std::vector<double> relayOverhead = differences(relayMs, floorMs);
        report.addDistribution("peer_relay_overhead", "  peer relay overhead above floor (paired)", relayOverhead);
        Summary r = summarize(relayMs);
        Summary ro = summarize(relayOverhead);
        report.addValue("bridge_over_relay", "  bridge / peer relay (medians)", b.median / r.median, "x");
        report.addValue("overhead_over_relay_overhead", "  bridge overhead / relay overhead (medians)",
                        ro.median > 0 ? o.median / ro.median : NAN, "x");
    }
    report.addNote("client -> host overhead at the median: " + fixedText(o.median * 1000.0, 1) +
                   " us (difference of medians " + fixedText((b.median - rig.floorMedianMs) * 1000.0, 1) + " us)");
}

void measureEcho(Rig& rig) {
    rig.ensureBridgeAlive();
    BenchClient& client = rig.clients.at(0);
    LineReader& reader = rig.reader;
    const int hostFd = rig.hostConnection.get();

    // Empty the bridge's tracker: its oldest entry is the first HELLO answer.
    // Any match frees every entry, so from here each echo meets only its own packet.
    reader.clear(client.id);
    sendAll(hostFd, rig.firstAnswer);
    if (!reader.waitFor(client.id, isLine(rig.firstAnswer), Clock::now() + std::chrono::seconds(5))) {
        throw BenchError("the bridge did not pass the host's echo on");
    }

    const milliseconds hold(rig.options.holdMs);
    std::vector<double> clientRtt;
    std::vector<double> noticeAt;
    std::vector<double> echoAfterNotice;
    std::vector<double> reported;
    std::vector<double> hostView;
    std::vector<double> reportedMinusHostView;
    int missing = 0;
    const int warmup = std::max(3, rig.options.echoSamples / 30);
    for (int i = 0; i < warmup + rig.options.echoSamples; ++i) {
        std::string packet = chatPacket(client.user, kSite, numbered("e", 100000 + i));
        reader.clear(rig.hostId);
        reader.clear(client.id);
        Clock::time_point t0 = Clock::now();
        sendAll(client.fd.get(), packet);
        auto atHost = reader.waitFor(rig.hostId, isLine(packet), t0 + std::chrono::seconds(3));
        if (!atHost) throw BenchError("echo packet did not reach the host");
        std::this_thread::sleep_until(atHost->at + hold);
        Clock::time_point echoSent = Clock::now();
        sendAll(hostFd, packet);

        std::optional<Clock::time_point> latencyAt;
        long long latency = 0;
        std::optional<Clock::time_point> echoAt;
        for (int n = 0; n < 4 && !echoAt; ++n) {
            auto a = reader.waitFor(
                client.id, [&](const std::string& line) { return line == packet || isLatencyNotice(line); },
                echoSent + std::chrono::seconds(3));
            if (!a) break;
            if (a->line == packet) {
                echoAt = a->at;
            } else {
                latencyAt = a->at;
                latency = std::atoll(bodyOf(a->line).c_str() + 8);
            }
        }
        if (!echoAt) throw BenchError("the echo did not come back to the client");
        if (i >= warmup) {
            double held = msBetween(atHost->at, echoSent);
            clientRtt.push_back(msBetween(t0, *echoAt));
            if (latencyAt) {
                double view = held + 2.0 * rig.floorMedianMs;
                noticeAt.push_back(msBetween(t0, *latencyAt));
                echoAfterNotice.push_back(msBetween(*latencyAt, *echoAt));
                reported.push_back(static_cast<double>(latency));
                hostView.push_back(view);
                reportedMinusHostView.push_back(static_cast<double>(latency) - view);
            } else {
                ++missing;
            }
        }
        std::this_thread::sleep_until(std::max(t0 + milliseconds(50), *echoAt + milliseconds(10)));
    }
    rig.ensureBridgeAlive();

    Report& report = rig.report;
    std::string d = std::to_string(rig.options.holdMs);
    report.addDistribution("echo_rtt_client", "echo: round trip at the client (D=" + d + " ms)", clientRtt);
    report.addDistribution("echo_notice_at_client", "  LATENCY notice at the client", noticeAt);
    report.addDistribution("echo_after_notice", "  echo at the client after the notice", echoAfterNotice,
                           "the bridge pauses 5 ms between them");
    report.addDistribution("echo_reported", "  figure in LATENCY:<n>", reported, "whole ms");
    report.addDistribution("echo_host_view", "  host's view: hold + 2 x floor", hostView);
    report.addDistribution("echo_reported_minus_host_view", "  reported - host's view", reportedMinusHostView);
    if (missing > 0) report.addNote("echo: " + std::to_string(missing) + " echoes gave no LATENCY notice");
    report.addNote("echo: the bridge stamps a relayed packet after its 10 ms pause, so LATENCY:<n> is the link's "
                   "round trip less ~10 ms (less the pause's overshoot, +-1 ms from whole-ms clocks); a host "
                   "must hold an echo > 10 ms to be measured at all");
}

void measureBroadcast(Rig& rig, int samples) {
    rig.ensureBridgeAlive();
    LineReader& reader = rig.reader;
    const int k = static_cast<int>(rig.clients.size());
    BenchClient& first = rig.clients.front();
    BenchClient& last = rig.clients.back();
    const double floorMs = 5.0 * (k - 1);
    std::vector<double> toLast;
    std::vector<double> overhead;
    std::vector<double> perSlot;
    const int warmup = std::max(2, samples / 30);
    for (int i = 0; i < warmup + samples; ++i) {
        std::string line = chatPacket("hostuser", "HostSite", numbered("h", 100000 + i));
        reader.clear(first.id);
        reader.clear(last.id);
        Clock::time_point t0 = Clock::now();
        sendAll(rig.hostConnection.get(), line);
        auto atLast = reader.waitFor(last.id, isLine(line), t0 + milliseconds(5 * k) + std::chrono::seconds(5));
        if (!atLast) throw BenchError("host line did not reach client " + last.user);
        Clock::time_point firstAt = atLast->at;
        if (k > 1) {
            auto atFirst = reader.waitFor(first.id, isLine(line), Clock::now() + std::chrono::seconds(1));
            if (!atFirst) throw BenchError("host line did not reach client " + first.user);
            firstAt = atFirst->at;
        }
        if (i >= warmup) {
            double ms = msBetween(t0, atLast->at);
            toLast.push_back(ms);
            overhead.push_back(ms - floorMs);
            if (k > 1) perSlot.push_back(msBetween(firstAt, atLast->at) / (k - 1));
        }
        std::this_thread::sleep_until(std::max(t0 + milliseconds(5 * k + 10), atLast->at + milliseconds(10)));
    }
    rig.ensureBridgeAlive();
    std::string kText = std::to_string(k);
    rig.report.addDistribution("host_to_clients_k" + kText, "bridge: host -> client " + kText + " of " + kText,
                               toLast, "floor " + fixedText(floorMs, 0) + " ms");
    rig.report.addDistribution("host_to_clients_k" + kText + "_overhead", "  overhead above 5 ms x (k-1)", overhead);
    if (k > 1) rig.report.addDistribution("host_to_clients_k" + kText + "_per_slot", "  time per slot", perSlot,
                                          "sends 5 ms apart on a grid");
}

}  // namespace bench
