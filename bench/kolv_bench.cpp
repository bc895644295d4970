// kolv_bench: what the bridge adds on top of the physical floor, all figures
// from one run. A fake chat host on 127.0.0.2:P, the real kolv-bridge in a
// temporary folder, and local clients on 127.0.0.1:P; traffic stays on loopback.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>

#include "bench_rig.h"

#ifndef KOLV_BRIDGE_PATH
#define KOLV_BRIDGE_PATH "kolv-bridge"
#endif
#ifndef KOLV_SETUP_PATH
#define KOLV_SETUP_PATH "kolv-setup"
#endif

namespace {

using bench::BenchError;
using bench::Options;
using bench::Rig;

void usage(std::ostream& out) {
    out << "usage: kolv_bench [--bridge PATH] [--setup PATH] [--json PATH] [--socat PATH] [--quick]\n"
           "                  [--rounds N] [--idle-seconds N] [--keep]\n"
           "Measures kolv-bridge against raw loopback TCP and a socat relay; prints a table\n"
           "and writes the figures as JSON (default bench-results.json).\n"
           "--quick  short run for development (about 30 s)\n"
           "--keep   keep the temporary folder with the bridge's output\n";
}

int positive(const char* text) {
    int v = std::atoi(text);
    if (v <= 0) throw BenchError(std::string("not a positive number: ") + text);
    return v;
}

Options parseOptions(int argc, char** argv) {
    Options o;
    o.bridgePath = KOLV_BRIDGE_PATH;
    o.setupPath = KOLV_SETUP_PATH;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto next = [&]() -> const char* {
            if (i + 1 >= argc) throw BenchError(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            usage(std::cout);
            std::exit(0);
        } else if (arg == "--bridge") {
            o.bridgePath = next();
        } else if (arg == "--setup") {
            o.setupPath = next();
        } else if (arg == "--json") {
            o.jsonPath = next();
        } else if (arg == "--socat") {
            o.socat = next();
        } else if (arg == "--rounds") {
            o.rounds = positive(next());
        } else if (arg == "--idle-seconds") {
            o.idleSeconds = positive(next());
        } else if (arg == "--keep") {
            o.keepDir = true;
        } else if (arg == "--quick") {
            o.rounds = 60;
            o.echoSamples = 40;
            o.k1Samples = 40;
            o.k10Samples = 30;
            o.k50Samples = 12;
            o.idleSeconds = 2;
            o.startups = 2;
            o.sustainedFull = 100;
            o.sustainedSmall = 300;
            o.sustainedPerClient = 40;
        } else {
            usage(std::cerr);
            throw BenchError("unknown argument " + arg);
        }
    }
    return o;
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

std::string loadText() { return trimmed(bench::readFile("/proc/loadavg")); }

// A port that is free on both 127.0.0.2 (the fake host) and 127.0.0.1 (the bridge's listener).
void choosePort(Rig& rig) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        bench::Fd host = bench::bindTcp("127.0.0.2", 0);
        std::uint16_t port = bench::localPort(host.get());
        if (!bench::portFree("127.0.0.1", port)) continue;
        rig.hostListen = std::move(host);
        rig.port = port;
        return;
    }
    throw BenchError("no port free on both 127.0.0.1 and 127.0.0.2");
}

// A run is busy when its floor row's median is more than this many times the
// quiet floor, or the load average stood above kBusyLoad before or after it.
constexpr double kBusyFloorRatio = 2.0;
constexpr double kBusyLoad = 0.5;

// The one-minute load average, the first figure of /proc/loadavg.
double loadAverage(const std::string& loadavg) { return std::atof(loadavg.c_str()); }

void reportQuiet(Rig& rig, double floorBefore, double floorAfter, const std::string& loadBefore,
                 const std::string& loadAfter) {
    using bench::fixedText;
    const double quiet = std::min(floorBefore, floorAfter);
    const double inRun = rig.floorMedianMs * 1000.0;
    const double ratio = inRun / quiet;
    const double before = loadAverage(loadBefore), after = loadAverage(loadAfter);
    const double load = std::max(before, after);
    const bool busyFloor = ratio > kBusyFloorRatio;
    const bool busyLoad = load > kBusyLoad;
    rig.report.addInfo("floor_before_us", fixedText(floorBefore, 1));
    rig.report.addInfo("floor_after_us", fixedText(floorAfter, 1));
    const std::string floors = "in the run " + fixedText(inRun, 1) + " us, quiet " + fixedText(quiet, 1) +
                               " us (before " + fixedText(floorBefore, 1) + ", after " + fixedText(floorAfter, 1) + ")";
    rig.report.addValue("floor_in_run_over_quiet", "floor row / quiet floor (medians)", ratio, "x",
                        busyFloor ? "WARNING: over 2: " + floors : floors);
    const std::string loads = "before " + fixedText(before, 2) + ", after " + fixedText(after, 2);
    rig.report.addValue("load_average", "load average, the higher of before/after", load, "",
                        busyLoad ? "WARNING: over 0.5: " + loads : loads);
    if (busyFloor || busyLoad) {
        rig.report.addNote("WARNING: the machine was busy during the run (see the last two rows): run again");
    }
}

void runAll(Rig& rig) {
    Options& o = rig.options;
    const std::string loadBefore = loadText();
    rig.report.addInfo("load_at_start", loadBefore);
    rig.report.addInfo("processors", std::to_string(std::thread::hardware_concurrency()));
    rig.report.addInfo("bridge", o.bridgePath);

    choosePort(rig);
    rig.report.addInfo("port", std::to_string(rig.port));
    bench::runToEnd({o.setupPath, "--host", "127.0.0.2", "--port", std::to_string(rig.port), "--site", bench::kSite,
                     "--software", bench::kSoftware},
                    rig.dir, rig.dir + "/setup.out", std::chrono::seconds(10));

    auto phase = [](const char* name) { std::cerr << "kolv_bench: " << name << "\n"; };
    phase("idle CPU before the first link");
    bench::measureIdleBeforeLink(rig);
    phase("start-up");
    bench::startBridge(rig);
    std::cerr << "kolv_bench: bridge pid " << rig.bridge->pid() << "\n";
    bench::connectClients(rig, 1);
    phase("floor before the run");
    const double floorBefore = bench::probeFloorMicros(rig);
    phase("floor, peer relay, client -> host");
    bench::measureRelayRounds(rig);
    phase("echo");
    bench::measureEcho(rig);
    phase("sustained, one client");
    bench::measureSustainedOne(rig);
    phase("host -> 1 client");
    bench::measureBroadcast(rig, o.k1Samples);
    bench::connectClients(rig, 10);
    phase("host -> 10 clients");
    bench::measureBroadcast(rig, o.k10Samples);
    bench::connectClients(rig, bench::kMaxClients);
    phase("idle CPU with 50 clients");
    bench::measureIdleWithClients(rig);
    phase("host -> 50 clients");
    bench::measureBroadcast(rig, o.k50Samples);
    phase("sustained, 50 clients");
    bench::measureSustainedMany(rig);
    bench::measureMemory(rig);
    phase("floor after the run");
    bench::keepFirstClient(rig);
    const double floorAfter = bench::probeFloorMicros(rig);
    const std::string loadAfter = loadText();
    rig.report.addInfo("load_at_end", loadAfter);
    reportQuiet(rig, floorBefore, floorAfter, loadBefore, loadAfter);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    try {
        options = parseOptions(argc, argv);
    } catch (const BenchError& e) {
        std::cerr << "kolv_bench: " << e.what() << "\n";
        return 2;
    }
    char pattern[] = "/tmp/kolv-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        std::cerr << "kolv_bench: cannot create a temporary folder: " << std::strerror(errno) << "\n";
        return 1;
    }
    const std::string dir = pattern;
    int code = 0;
    {
        Rig rig;
        rig.options = options;
        rig.dir = dir;
        try {
            runAll(rig);
            rig.report.printTable(std::cout);
            rig.report.writeJson(options.jsonPath);
            std::cout << "\nJSON written to " << options.jsonPath << "\n";
        } catch (const std::exception& e) {
            std::cerr << "kolv_bench: " << e.what() << "\n";
            code = 1;
        }
        // Closes the clients and the link, then stops the bridge.
        rig.reader.stop();
        rig.clients.clear();
        rig.hostConnection.reset();
        rig.bridge.reset();
    }
    if (options.keepDir || code != 0) {
        std::cerr << "kolv_bench: bridge output kept in " << dir << "\n";
    } else {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    return code;
}
