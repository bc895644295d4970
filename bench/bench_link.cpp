// Bringing the bridge up and down: idle CPU before a link, start-up time,
// HELLO, local clients, idle CPU with clients, memory.
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>

#include "bench_rig.h"

namespace bench {
namespace {

double msBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

std::size_t countOf(const std::string& text, const std::string& needle) {
    std::size_t n = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

struct CpuWindow {
    double ticksPercent;
    double schedPercent;  // < 0 when /proc/<pid>/task/*/schedstat is missing
};

// CPU share of one processor that pid used over the next `seconds`.
CpuWindow cpuOver(pid_t pid, int seconds) {
    Clock::time_point start = Clock::now();
    std::int64_t ticks0 = cpuTicks(pid);
    std::int64_t ns0 = cpuNanoseconds(pid);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    std::int64_t ticks1 = cpuTicks(pid);
    std::int64_t ns1 = cpuNanoseconds(pid);
    double wall = msBetween(start, Clock::now()) / 1000.0;
    CpuWindow w{};
    w.ticksPercent = static_cast<double>(ticks1 - ticks0) / static_cast<double>(ticksPerSecond()) / wall * 100.0;
    w.schedPercent = (ns0 < 0 || ns1 < 0) ? -1.0 : static_cast<double>(ns1 - ns0) / 1e9 / wall * 100.0;
    return w;
}

// The finer figure: schedstat counts nanoseconds where utime+stime count 10 ms ticks.
std::string schedText(const CpuWindow& w, int seconds) {
    if (w.schedPercent < 0) return "schedstat unavailable";
    char text[80];
    std::snprintf(text, sizeof text, "schedstat %.4f %% (%.2f ms of CPU)", w.schedPercent,
                  w.schedPercent / 100.0 * seconds * 1000.0);
    return text;
}

// The handshake has no line end and nothing follows it until HELLO: read
// until the link goes quiet. Returns the time its first bytes arrived.
Clock::time_point readHandshake(int fd, std::string& handshake) {
    Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
    Clock::time_point first{};
    char buffer[1024];
    for (int reads = 0; reads < 1000; ++reads) {
        int wait = handshake.empty() ? 100 : 20;
        pollfd p{fd, POLLIN, 0};
        int ready = ::poll(&p, 1, wait);
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) {
            if (!handshake.empty()) return first;
            if (Clock::now() >= deadline) break;
            continue;
        }
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        Clock::time_point at = Clock::now();
        if (n <= 0) break;
        if (handshake.empty()) first = at;
        handshake.append(buffer, static_cast<std::size_t>(n));
    }
    throw BenchError("no handshake from the bridge");
}

}  // namespace

std::string chatPacket(const std::string& user, const std::string& site, const std::string& body) {
    return user + "~" + site + "~~~~~" + body + "~\n";
}

std::string numbered(const std::string& prefix, long long n) {
    std::string text = prefix;
    text += std::to_string(n);
    return text;
}

std::string bodyOf(const std::string& line) {
    std::size_t at = 0;
    for (int field = 0; field < 6; ++field) {
        at = line.find('~', at);
        if (at == std::string::npos) return "";
        ++at;
    }
    std::size_t end = line.find('~', at);
    return end == std::string::npos ? "" : line.substr(at, end - at);
}

void Rig::ensureBridgeAlive() {
    if (bridge && bridge->running()) return;
    throw BenchError("the bridge has stopped; its last output:\n" +
                     tailOf(readFile(dir + "/bridge-main.out"), 15));
}

void measureIdleBeforeLink(Rig& rig) {
    // The host port is bound but not listening: every connect is refused.
    std::string out = rig.dir + "/bridge-unlinked.out";
    Child bridge({rig.options.bridgePath, "-W5"}, rig.dir, out);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    if (!bridge.running()) throw BenchError("the bridge ended at once:\n" + tailOf(readFile(out), 10));
    CpuWindow w = cpuOver(bridge.pid(), rig.options.idleSeconds);
    bool alive = bridge.running();
    std::size_t refused = countOf(readFile(out), "Unable to connect to server!");
    bridge.stop(SIGKILL);
    if (!alive) throw BenchError("the bridge ended while waiting for a host:\n" + tailOf(readFile(out), 10));
    if (refused == 0) throw BenchError("the bridge made no connection attempt:\n" + tailOf(readFile(out), 10));
    rig.report.addValue("idle_cpu_before_link", "CPU, idle, no link yet (-W5)", w.ticksPercent, "%",
                        std::to_string(rig.options.idleSeconds) + " s; " + std::to_string(refused) +
                            " refused connects; " + schedText(w, rig.options.idleSeconds));
}

namespace {

struct Unwatch {
    LineReader& reader;
    int id;
    ~Unwatch() {
        if (id >= 0) reader.remove(id);
    }
};

// HELLO, then the seven answers; returns the first answer and the time from
// HELLO to the last answer (CAPABILITIES) at the host.
double answerHello(Rig& rig, int id, int fd, std::string& firstAnswer) {
    Clock::time_point sent = Clock::now();
    sendAll(fd, "SERVER~~~~~~HELLO~\n");
    Clock::time_point deadline = sent + std::chrono::seconds(10);
    auto first = rig.reader.waitFor(id, [](const std::string&) { return true; }, deadline);
    if (!first || first->line.find("INFOWEB:") == std::string::npos) {
        throw BenchError("the bridge did not answer HELLO with INFOWEB");
    }
    firstAnswer = first->line;
    auto last = rig.reader.waitFor(
        id, [](const std::string& line) { return bodyOf(line).rfind("CAPABILITIES:", 0) == 0; }, deadline);
    if (!last) throw BenchError("the bridge did not finish its HELLO answer");
    return msBetween(sent, last->at);
}

}  // namespace

void startBridge(Rig& rig) {
    startListening(rig.hostListen.get());
    std::vector<double> startMs;
    std::vector<double> helloMs;
    for (int i = 0; i < rig.options.startups; ++i) {
        bool last = i + 1 == rig.options.startups;
        std::string out = rig.dir + (last ? "/bridge-main.out" : numbered("/bridge-start", i) + ".out");
        // -R3: a bridge left behind by an aborted run gives up soon after the host goes.
        auto child = std::make_unique<Child>(std::vector<std::string>{rig.options.bridgePath, "-R3", "-W1"}, rig.dir,
                                             out);
        Fd connection = acceptWithin(rig.hostListen.get(), Clock::now() + std::chrono::seconds(10));
        std::string handshake;
        Clock::time_point arrived = readHandshake(connection.get(), handshake);
        startMs.push_back(msBetween(child->startedAt(), arrived));
        std::string expected = std::string(kSite) + "~" + kSoftware + "/";
        if (handshake.compare(0, expected.size(), expected) != 0) {
            throw BenchError("unexpected handshake \"" + handshake + "\"");
        }
        int id = rig.reader.add(connection.get());
        // Declared after the connection, so it runs first: no reads on a closed descriptor.
        Unwatch unwatch{rig.reader, id};
        std::string firstAnswer;
        helloMs.push_back(answerHello(rig, id, connection.get(), firstAnswer));
        if (!last) {
            child->stop(SIGKILL);
            continue;
        }
        unwatch.id = -1;
        rig.bridge = std::move(child);
        rig.hostConnection = std::move(connection);
        rig.hostId = id;
        rig.firstAnswer = firstAnswer;
    }
    std::string starts = std::to_string(rig.options.startups) + " starts";
    rig.report.addDistribution("startup", "start-up: exec to handshake at host", startMs, starts);
    rig.report.addDistribution("hello_answer", "HELLO to 7th answer at host", helloMs,
                               "floor 60 ms (10 ms pause after each of 6 answers)");
}

void connectClients(Rig& rig, int total) {
    rig.ensureBridgeAlive();
    for (int i = static_cast<int>(rig.clients.size()); i < total; ++i) {
        BenchClient c;
        c.user = numbered("bench", i);
        Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
        c.fd = connectTcp("127.0.0.1", rig.port, deadline);
        c.id = rig.reader.add(c.fd.get());
        // The first packet names the client; the bridge answers it with a LATENCY notice.
        sendAll(c.fd.get(), chatPacket(c.user, kSite, "join"));
        auto notice = rig.reader.waitFor(
            c.id, [](const std::string& line) { return bodyOf(line).rfind("LATENCY:", 0) == 0; }, deadline);
        if (!notice) throw BenchError("client " + c.user + " got no LATENCY notice on joining");
        rig.clients.push_back(std::move(c));
    }
}

void keepFirstClient(Rig& rig) {
    while (rig.clients.size() > 1) {
        rig.reader.remove(rig.clients.back().id);
        rig.clients.pop_back();
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));  // let the bridge see them go
    rig.ensureBridgeAlive();
}

void measureIdleWithClients(Rig& rig) {
    rig.ensureBridgeAlive();
    std::this_thread::sleep_for(std::chrono::seconds(1));  // let the joins settle
    CpuWindow w = cpuOver(rig.bridge->pid(), rig.options.idleSeconds);
    rig.ensureBridgeAlive();
    rig.report.addValue("idle_cpu_50_clients", "CPU, idle, link up, 50 clients", w.ticksPercent, "%",
                        std::to_string(rig.options.idleSeconds) + " s; " + schedText(w, rig.options.idleSeconds));
}

void measureMemory(Rig& rig) {
    rig.ensureBridgeAlive();
    pid_t pid = rig.bridge->pid();
    long hwm = statusField(pid, "VmHWM");
    long rss = statusField(pid, "VmRSS");
    long threads = statusField(pid, "Threads");
    rig.report.addValue("peak_rss_50_clients", "peak resident memory (VmHWM), 50 clients",
                        static_cast<double>(hwm) / 1024.0, "MiB",
                        "VmRSS now " + std::to_string(rss) + " kB, " + std::to_string(threads) + " threads");
}

}  // namespace bench
