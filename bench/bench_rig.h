#pragma once
// The benchmark's fixtures: a fake chat host on 127.0.0.2:P, the bridge under
// test, its local clients on 127.0.0.1:P, and the measurements that use them.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bench_net.h"
#include "bench_proc.h"
#include "bench_report.h"

namespace bench {

struct Options {
    std::string bridgePath;
    std::string setupPath;
    std::string jsonPath = "bench-results.json";
    std::string socat = "socat";
    int rounds = 400;           // floor / peer relay / client-to-host samples
    int echoSamples = 300;
    int k1Samples = 300;
    int k10Samples = 250;
    int k50Samples = 200;
    int idleSeconds = 10;
    int startups = 5;
    int holdMs = 20;            // how long the fake host holds an echo
    int sustainedFull = 300;    // full-size packets from one client
    int sustainedSmall = 1000;  // small packets from one client
    int sustainedPerClient = 200;
    bool keepDir = false;
};

struct BenchClient {
    Fd fd;
    int id = -1;
    std::string user;
};

inline constexpr const char* kSite = "BenchSite";
inline constexpr const char* kSoftware = "KolvBench";
inline constexpr int kMaxClients = 50;

struct Rig {
    // The reader stops before any watched socket closes.
    ~Rig() { reader.stop(); }

    Options options;
    std::string dir;
    LineReader reader;
    Fd hostListen;  // 127.0.0.2:port; listening only once idle-before-link is measured
    std::uint16_t port = 0;
    std::unique_ptr<Child> bridge;
    Fd hostConnection;
    int hostId = -1;
    std::string firstAnswer;  // first packet the bridge sent after HELLO, kept to empty its tracker
    std::vector<BenchClient> clients;
    Report report;
    double floorMedianMs = -1;

    // Throws with the bridge's last output when it has stopped.
    void ensureBridgeAlive();
};

// A ChatPacket "user~site~~~~~body~\n".
std::string chatPacket(const std::string& user, const std::string& site, const std::string& body);
// prefix followed by n in decimal, e.g. a packet body "r100001".
std::string numbered(const std::string& prefix, long long n);
// Piece 7 of a packet line, or "" when it has fewer than seven fields.
std::string bodyOf(const std::string& line);

void measureIdleBeforeLink(Rig& rig);
void startBridge(Rig& rig);  // start-up times; leaves the last bridge linked and past HELLO
void connectClients(Rig& rig, int total);
void measureRelayRounds(Rig& rig);
// The floor row's median in microseconds, measured as that row is (the same
// paced rounds, bridge and relay turns included): taken before and after the
// run, the lower is the quiet floor the row is checked against.
double probeFloorMicros(Rig& rig);
// Leaves client 0 alone connected, as it was when the floor row was measured.
void keepFirstClient(Rig& rig);
void measureEcho(Rig& rig);
void measureSustainedOne(Rig& rig);
void measureBroadcast(Rig& rig, int samples);  // to every connected client; the last slot is timed
void measureIdleWithClients(Rig& rig);
void measureSustainedMany(Rig& rig);
void measureMemory(Rig& rig);

}  // namespace bench
