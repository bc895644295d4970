#include "kolv_load_client.h"

#include <algorithm>
#include <system_error>
#include <thread>
#include <vector>

#include "kolv_load_report.h"
#include "platform/net_headers.h"
#include "platform/resolve.h"
#include "platform/socket.h"
#include "platform/system.h"
#include "tool_net.h"

namespace kolvload {
namespace {

using kolv::SocketHandle;

constexpr int kSendTimeoutMs = 5000;
constexpr int kSlowReceiveBuffer = 2048;
constexpr std::int64_t kAckWaitMs = 3000;   // for the echoes of what was sent, before leaving
constexpr std::int64_t kCloseWaitMs = 2000;  // for the bridge to close after our end of stream
constexpr std::int64_t kRetryMs = 100;
constexpr int kReadPollMs = 100;

struct Connection {
    explicit Connection(const ClientPlan& p) : plan(p), random(p.seed) {}
    const ClientPlan& plan;
    kolvtool::Random random;  // the writer's
    SocketHandle socket = kolv::kInvalidSocket;
    RecordPtr record;
    std::atomic<bool> stopReading{false};
    std::atomic<bool> readerDone{false};
};

SocketHandle connectOnce(const kolvchat::Options& o, bool slow) {
    kolv::AddressList list;
    if (kolv::resolveStream(o.host.c_str(), o.port.c_str(), false, list) != 0) return kolv::kInvalidSocket;
    int error = 0;
    return kolvtool::firstUsableSocket(list.get(), [slow](SocketHandle s, const addrinfo& a) {
        // Set before connecting, so the window starts small.
        if (slow) kolv::setReceiveBufferSize(s, kSlowReceiveBuffer);
        return kolv::connectSocket(s, a.ai_addr, a.ai_addrlen) == 0;
    }, error);
}

// The bridge refuses clients until its first link, and when its table is full.
SocketHandle connectUntil(const kolvchat::Options& o, bool slow, const std::atomic<bool>& stopping) {
    for (;;) {
        SocketHandle s = connectOnce(o, slow);
        if (s != kolv::kInvalidSocket || stopping.load()) return s;
        kolv::sleepMs(kRetryMs);
    }
}

std::int64_t now() { return kolv::steadyMs(); }

void noteEndedByBridge(ClientRecord& record) {
    std::lock_guard<std::mutex> lock(record.mutex);
    if (record.gone) return;
    record.gone = true;
    record.endedByBridge = true;
}

void takeLines(ClientRecord& record, std::string& carry) {
    std::size_t start = 0;
    for (std::size_t end = carry.find('\n'); end != std::string::npos; end = carry.find('\n', start)) {
        takeLine(record, carry.substr(start, end - start), now());
        start = end + 1;
    }
    carry.erase(0, start);
}

// A slow reader takes a little at a time with pauses between.
void readerLoop(Connection& c) {
    kolvtool::Random random(c.plan.seed + 1);
    std::string carry;
    std::vector<char> buffer(c.plan.slowReader ? 256 : 4096);
    while (!c.stopReading.load()) {
        int ready = kolv::waitSocket(c.socket, kolv::WaitFor::Read, kReadPollMs);
        if (ready == 0) continue;
        long n = ready < 0 ? -1 : kolv::socketRecv(c.socket, buffer.data(), buffer.size());
        if (n <= 0) {
            noteEndedByBridge(*c.record);
            break;
        }
        carry.append(buffer.data(), static_cast<std::size_t>(n));
        takeLines(*c.record, carry);
        if (c.plan.slowReader) kolv::sleepMs(random.between(20, 80));
    }
    c.readerDone.store(true);
}

bool writeAll(const Connection& c, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        long n = kolv::socketSend(c.socket, data.data() + done, data.size() - done);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string padding(kolvtool::Random& random) {
    static const std::string kPattern = "pad-0123456789-abcdefghijklmnopqrstuvwxyz ";
    std::string pad;
    for (auto length = random.between(0, 440); static_cast<std::int64_t>(pad.size()) < length;) pad += kPattern;
    return pad.substr(0, static_cast<std::size_t>(random.between(0, static_cast<std::int64_t>(pad.size()))));
}

std::string recordPacket(Connection& c, const kolvchat::Options& o, long seq, bool cut, std::size_t cutAt = 0) {
    std::string packet = numberedPacket(c.record->name, o.site, seq, padding(c.random));
    std::lock_guard<std::mutex> lock(c.record->mutex);
    c.record->sent.push_back(SentPacket{seq, cut ? cutAt : packet.size(), kolv::nowUnixMs(), cut, false});
    return packet;
}

// One packet in two or three writes with pauses between.
bool writeInPieces(Connection& c, const std::string& packet) {
    std::vector<std::size_t> cuts{0, packet.size()};
    for (auto n = c.random.between(1, 2); n > 0; --n)
        cuts.push_back(static_cast<std::size_t>(c.random.between(1, static_cast<std::int64_t>(packet.size()) - 1)));
    std::sort(cuts.begin(), cuts.end());
    for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
        if (cuts[i + 1] == cuts[i]) continue;
        if (i > 0) kolv::sleepMs(c.random.between(0, 150));
        if (!writeAll(c, packet.substr(cuts[i], cuts[i + 1] - cuts[i]))) return false;
    }
    return true;
}

// Sends packet seq, alone, in pieces, or with those after it (up to last) in
// one write. Returns how many packets went, or -1 when the connection failed.
long sendChunked(Connection& c, const kolvchat::Options& o, long seq, long last) {
    const auto shape = c.random.between(0, 9);
    if (shape >= 8) {
        long count = static_cast<long>(c.random.between(2, 4));
        count = count > last - seq + 1 ? last - seq + 1 : count;
        std::string several;
        for (long n = 0; n < count; ++n) several += recordPacket(c, o, seq + n, false);
        return writeAll(c, several) ? count : -1;
    }
    std::string packet = recordPacket(c, o, seq, false);
    bool written = shape < 5 ? writeAll(c, packet) : writeInPieces(c, packet);
    return written ? 1 : -1;
}

bool allAcknowledged(ClientRecord& record) {
    std::lock_guard<std::mutex> lock(record.mutex);
    for (const SentPacket& packet : record.sent) {
        if (!packet.acked && !packet.cut) return false;
    }
    return true;
}

// Waits until done() or the deadline; false at the deadline.
template <typename Done>
bool waitUntil(Done done, std::int64_t milliseconds) {
    const std::int64_t deadline = now() + milliseconds;
    while (!done()) {
        if (now() >= deadline) return false;
        kolv::sleepMs(10);
    }
    return true;
}

// Writes the head of packet seq, never all of it: it lacks at least its last "~".
void writeHead(Connection& c, const kolvchat::Options& o, long seq) {
    std::string packet = numberedPacket(c.record->name, o.site, seq, padding(c.random));
    auto cut = static_cast<std::size_t>(c.random.between(1, static_cast<std::int64_t>(packet.size()) - 2));
    {
        std::lock_guard<std::mutex> lock(c.record->mutex);
        c.record->sent.push_back(SentPacket{seq, cut, kolv::nowUnixMs(), true, false});
    }
    writeAll(c, packet.substr(0, cut));
    kolv::sleepMs(20);
}

void startLeaving(Connection& c) {
    std::lock_guard<std::mutex> lock(c.record->mutex);
    c.record->gone = true;
    c.record->departure = c.plan.departure;
    c.record->midPacket = c.plan.midPacket;
}

// Waits for the echoes first, so that what is lost is the bridge's doing,
// not this client's reset.
void leave(Connection& c, const kolvchat::Options& o, long nextSeq, std::thread& reader) {
    waitUntil([&] { return c.readerDone.load() || allAcknowledged(*c.record); }, kAckWaitMs);
    startLeaving(c);
    if (c.plan.departure == Departure::Logoff) writeAll(c, c.record->name + "~" + o.site + "~~~~~LOGOFF~\n");
    else if (c.plan.midPacket) writeHead(c, o, nextSeq);
    if (c.plan.departure != Departure::Reset) {
        kolv::shutdownSend(c.socket);
        waitUntil([&] { return c.readerDone.load(); }, kCloseWaitMs);
    }
    c.stopReading.store(true);
    reader.join();
    if (c.plan.departure == Departure::Reset) kolv::abortSocket(c.socket);
    else kolv::closeSocket(c.socket);
}

void pauseUnlessStopping(std::int64_t milliseconds, const std::atomic<bool>& stopping) {
    waitUntil([&] { return stopping.load(); }, milliseconds);
}

}  // namespace

ClientPlan drawPlan(kolvtool::Random& random) {
    ClientPlan plan;
    plan.packets = static_cast<long>(random.between(3, 25));
    plan.meanGapMs = random.between(200, 1500);
    plan.slowReader = random.chance(25);
    plan.departure = static_cast<Departure>(random.between(0, 2));
    plan.midPacket = plan.departure != Departure::Logoff && random.chance(40);
    plan.seed = random.next();
    return plan;
}

bool runClient(const kolvchat::Options& o, const std::string& name, const ClientPlan& plan,
               const std::atomic<bool>& stopping) {
    Connection c(plan);
    c.socket = connectUntil(o, plan.slowReader, stopping);
    if (c.socket == kolv::kInvalidSocket) return false;
    kolv::setSendTimeout(c.socket, kSendTimeoutMs);
    c.record = newRecord(name);
    c.record->slowReader = plan.slowReader;  // before the reader starts
    std::thread reader;
    try {
        reader = std::thread(readerLoop, std::ref(c));
    } catch (const std::system_error&) {
        kolv::closeSocket(c.socket);
        return false;
    }
    announce(name + " joins" + (plan.slowReader ? " (reads slowly)" : ""));
    long seq = 1;
    while (seq <= plan.packets && !stopping.load() && !c.readerDone.load()) {
        if (seq > 1) pauseUnlessStopping(c.random.between(plan.meanGapMs / 2, plan.meanGapMs * 3 / 2), stopping);
        long sent = sendChunked(c, o, seq, plan.packets);
        if (sent < 0) break;
        seq += sent;
    }
    leave(c, o, seq, reader);
    announce(name + " left " + departureText(*c.record));
    return true;
}

}  // namespace kolvload
