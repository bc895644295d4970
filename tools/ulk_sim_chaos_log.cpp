#include "ulk_sim_chaos_log.h"

#include <array>
#include <map>
#include <mutex>
#include <vector>

#include "platform/system.h"
#include "ulk_sim_trace.h"

namespace ulksim {
namespace {

// A host message sent this close to its link's end may never have been read.
constexpr std::int64_t kAtRiskMs = 5000;

constexpr std::array<const char*, kFaultKinds> kFaultNames = {"stall", "close", "reset", "split line",
                                                               "over-long line", "control characters"};

struct HostMessage {
    long number;
    int site;
    std::int64_t sentAt;
    bool sent;
};

struct LinkLife {
    std::int64_t readyAt;
    std::int64_t endedAt;
    long unread;
    std::string why;
};

struct ChaosLog {
    std::mutex mutex;
    std::array<long, kFaultKinds> faults{};
    std::vector<HostMessage> messages;
    std::map<int, LinkLife> links;  // by site number
};

ChaosLog& chaosLog() {
    static auto* kept = new ChaosLog;  // never destroyed: site threads may still note at exit
    return *kept;
}

bool atRisk(const ChaosLog& log, const HostMessage& m, std::int64_t now) {
    if (!m.sent) return true;
    auto link = log.links.find(m.site);
    std::int64_t end = link == log.links.end() ? now : link->second.endedAt;
    return end - m.sentAt < kAtRiskMs;
}

std::string faultCounts(const ChaosLog& log) {
    std::string text;
    for (int i = 0; i < kFaultKinds; ++i) {
        text += (i == 0 ? "" : ", ") + std::to_string(log.faults[static_cast<std::size_t>(i)]) + " " +
                kFaultNames[static_cast<std::size_t>(i)];
    }
    return text;
}

void printMessages(const ChaosLog& log) {
    std::string risky;
    for (const HostMessage& m : log.messages) {
        if (atRisk(log, m, kolv::nowUnixMs())) risky += " " + std::to_string(m.number);
    }
    std::string range = log.messages.empty() ? "none" : "1 to " + std::to_string(log.messages.back().number);
    report("summary: host messages " + range + "; at risk (sent within " + std::to_string(kAtRiskMs / 1000) +
           " s of their link's end):" + (risky.empty() ? " none" : risky));
}

}  // namespace

void noteFault(Fault fault) {
    ChaosLog& log = chaosLog();
    std::lock_guard<std::mutex> lock(log.mutex);
    ++log.faults[static_cast<std::size_t>(fault)];
}

void noteHostMessage(long number, int siteNumber, std::int64_t sentAtUnixMs, bool sent) {
    ChaosLog& log = chaosLog();
    std::lock_guard<std::mutex> lock(log.mutex);
    log.messages.push_back(HostMessage{number, siteNumber, sentAtUnixMs, sent});
}

void noteLinkEnd(int siteNumber, std::int64_t readyAtUnixMs, long unread, const std::string& why) {
    ChaosLog& log = chaosLog();
    std::lock_guard<std::mutex> lock(log.mutex);
    log.links[siteNumber] = LinkLife{readyAtUnixMs, kolv::nowUnixMs(), unread, why};
}

void printChaosLog(long seed, long perMinute) {
    ChaosLog& log = chaosLog();
    std::lock_guard<std::mutex> lock(log.mutex);
    report("summary: chaos seed " + std::to_string(seed) + ", " + std::to_string(perMinute) + " faults a minute: " +
           faultCounts(log));
    printMessages(log);
    for (const auto& [site, life] : log.links) {
        report("summary: link #" + std::to_string(site) + " ready " + std::to_string(life.readyAt) + " ended " +
               std::to_string(life.endedAt) + " unread " + std::to_string(life.unread) + " (" + life.why + ")");
    }
}

}  // namespace ulksim
