#include "kolv_load_report.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <vector>

namespace kolvload {
namespace {

// A client that held a slot this long before a host message first reached a
// client that reads at once was in the table when the bridge began to pass it
// on (one pass over 50 clients takes 250 ms).
constexpr std::int64_t kBroadcastMarginMs = 500;
constexpr std::int64_t kNever = INT64_MAX;
constexpr std::size_t kShown = 5;
constexpr std::size_t kMissedShown = 20;

std::mutex gOutMutex;

struct Totals {
    long clients = 0, byClose = 0, byReset = 0, byLogoff = 0, midPacket = 0, endedByBridge = 0;
    long sent = 0, acked = 0, cut = 0, outOfOrder = 0, duplicates = 0;
    long lines = 0, controlLeft = 0;
    std::vector<std::string> malformed, lost;
};


std::string printable(const std::string& text) {
    std::string out;
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (c >= 32 && c != 127) {
            out += ch;
            continue;
        }
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned>(c));
        out += hex;
    }
    return out;
}

void addSent(Totals& t, const ClientRecord& r) {
    for (const SentPacket& p : r.sent) {
        (p.cut ? t.cut : t.sent) += 1;
        if (p.acked) ++t.acked;
        if (p.acked) continue;
        t.lost.push_back(std::string(p.cut ? "cut " : "lost ") + r.name + " " + std::to_string(p.seq) + " " +
                         std::to_string(p.bytes) + " " + std::to_string(p.sentAtUnixMs));
    }
}

void addClient(Totals& t, ClientRecord& r) {
    std::lock_guard<std::mutex> lock(r.mutex);
    ++t.clients;
    if (r.endedByBridge) ++t.endedByBridge;
    else if (r.departure == Departure::Close) ++t.byClose;
    else if (r.departure == Departure::Reset) ++t.byReset;
    else ++t.byLogoff;
    if (r.midPacket && !r.endedByBridge) ++t.midPacket;
    t.outOfOrder += r.outOfOrder;
    t.duplicates += r.duplicates;
    t.lines += r.lines;
    t.controlLeft += r.controlLeft;
    t.malformed.insert(t.malformed.end(), r.malformed.begin(), r.malformed.end());
    addSent(t, r);
}

// Each host message some client got, and when it first came to a client that
// reads at once (a slow reader takes a line long after it came), or kNever.
std::map<long, std::int64_t> hostMessageArrivals(const std::vector<RecordPtr>& records) {
    std::map<long, std::int64_t> seen;
    for (const RecordPtr& r : records) {
        std::lock_guard<std::mutex> lock(r->mutex);
        for (const auto& [number, at] : r->hostMessages) {
            auto [entry, added] = seen.emplace(number, kNever);
            if (!r->slowReader) entry->second = std::min(entry->second, at);
        }
    }
    return seen;
}

// Host messages that a client in the table throughout their pass did not
// get: it was there before (it got an earlier one, or held a slot well before
// the message first came) and after (it got a later one, so it read past).
std::vector<std::string> missedHostMessages(const std::vector<RecordPtr>& records,
                                            const std::map<long, std::int64_t>& seen) {
    std::vector<std::string> missed;
    for (const RecordPtr& r : records) {
        std::lock_guard<std::mutex> lock(r->mutex);
        if (r->hostMessages.empty()) continue;
        for (const auto& [number, first] : seen) {
            bool before = r->hostMessages.begin()->first < number ||
                          (first != kNever && r->joinedAtMs < first - kBroadcastMarginMs);
            bool after = r->hostMessages.rbegin()->first > number;
            if (before && after && r->hostMessages.count(number) == 0)
                missed.push_back("HOSTMSG " + std::to_string(number) + " by " + r->name);
        }
    }
    return missed;
}

// Host messages no client got, though some client got one before and one
// after: lost on the way to the bridge, or by it.
std::string hostMessageGaps(const std::vector<RecordPtr>& records, const std::map<long, std::int64_t>& seen) {
    std::set<long> gaps;
    for (const RecordPtr& r : records) {
        std::lock_guard<std::mutex> lock(r->mutex);
        if (r->hostMessages.empty()) continue;
        for (long n = r->hostMessages.begin()->first + 1; n < r->hostMessages.rbegin()->first; ++n) {
            if (seen.count(n) == 0) gaps.insert(n);
        }
    }
    std::string text;
    for (long n : gaps) text += " " + std::to_string(n);
    return text.empty() ? " none" : text;
}

std::string perClient(const std::vector<RecordPtr>& records) {
    std::string text;
    for (const RecordPtr& r : records) {
        std::lock_guard<std::mutex> lock(r->mutex);
        text += (text.empty() ? " " : ", ") + r->name + " " + std::to_string(r->hostMessages.size());
    }
    return text;
}

void printTotals(const Totals& t) {
    announce("summary: clients " + std::to_string(t.clients) + ": " + std::to_string(t.byClose) +
             " left by close, " + std::to_string(t.byReset) + " by reset, " + std::to_string(t.byLogoff) +
             " after LOGOFF (" + std::to_string(t.midPacket) + " part way through a packet); " +
             std::to_string(t.endedByBridge) + " ended by the bridge");
    announce("summary: packets " + std::to_string(t.sent) + " sent, " + std::to_string(t.acked) +
             " acknowledged, " + std::to_string(t.sent - t.acked) + " lost, " + std::to_string(t.cut) +
             " cut on leaving; " + std::to_string(t.outOfOrder) + " out of order, " +
             std::to_string(t.duplicates) + " duplicates");
    announce("summary: lines " + std::to_string(t.lines) + " received, " + std::to_string(t.malformed.size()) +
             " malformed, " + std::to_string(t.controlLeft) + " from SERVER with control characters");
    for (std::size_t i = 0; i < t.malformed.size() && i < kShown; ++i)
        announce("summary: malformed: " + printable(t.malformed[i]));
}

}  // namespace

void announce(const std::string& text) {
    std::lock_guard<std::mutex> lock(gOutMutex);
    std::fputs((text + "\n").c_str(), stdout);
    std::fflush(stdout);
}

std::string departureText(ClientRecord& record) {
    std::lock_guard<std::mutex> lock(record.mutex);
    if (record.endedByBridge) return "as the bridge ended its connection";
    std::string how = record.departure == Departure::Close   ? "by close"
                      : record.departure == Departure::Reset ? "by reset"
                                                              : "after LOGOFF";
    if (!record.midPacket || record.sent.empty()) return how;
    const SentPacket& head = record.sent.back();
    return how + ", part way through packet " + std::to_string(head.seq) + " (" + std::to_string(head.bytes) +
           " bytes)";
}

void printSummary() {
    std::vector<RecordPtr> records = allRecords();
    Totals totals;
    for (const RecordPtr& r : records) addClient(totals, *r);
    printTotals(totals);
    std::map<long, std::int64_t> seen = hostMessageArrivals(records);
    std::vector<std::string> missed = missedHostMessages(records, seen);
    announce("summary: host messages " + (seen.empty() ? std::string("none") : "1 to " +
             std::to_string(seen.rbegin()->first)) + "; missed by a client connected throughout: " +
             std::to_string(missed.size()) + "; got by no client, between ones that came:" +
             hostMessageGaps(records, seen));
    announce("summary: host messages per client:" + perClient(records));
    for (std::size_t i = 0; i < missed.size() && i < kMissedShown; ++i) announce("missed " + missed[i]);
    for (const std::string& line : totals.lost) announce(line);
}

}  // namespace kolvload
