#include "ulk_sim_chaos.h"

#include <string>
#include <vector>

#include "platform/system.h"
#include "tool_random.h"
#include "ulk_sim_chaos_log.h"
#include "ulk_sim_link.h"
#include "ulk_sim_options.h"
#include "ulk_sim_sites.h"
#include "ulk_sim_trace.h"

namespace ulksim {
namespace {

constexpr std::int64_t kHostMessageEveryMs = 1000;

// One fault of the schedule. Every fault draws the same numbers, so the
// schedule depends on the seed and the rate alone.
struct Planned {
    Fault fault = Fault::Stall;
    std::int64_t atMs = 0;
    std::int64_t size = 0;         // stall ms, line length, or pause ms
    std::int64_t cutPermille = 0;  // where a line in two parts is cut
};

struct Schedule {
    kolvtool::Random random{0};
    std::int64_t startMs = -1;
    Planned next;
    std::int64_t nextMessageMs = 0;
    long messageNumber = 0;
    long longLines = 0;
};

Schedule gSchedule;  // the timer thread's alone

Planned draw(kolvtool::Random& random, std::int64_t afterMs) {
    const std::int64_t mean = 60000 / options().chaosRate;
    Planned p;
    p.atMs = afterMs + random.between(mean / 2, mean + mean / 2);
    p.fault = static_cast<Fault>(random.between(0, kFaultKinds - 1));
    std::int64_t stallMs = random.between(500, 9000);
    std::int64_t longLine = random.between(520, 3000);
    std::int64_t pauseMs = random.between(20, 400);
    p.size = p.fault == Fault::Stall ? stallMs : p.fault == Fault::LongLine ? longLine : pauseMs;
    p.cutPermille = random.between(1, 1000);
    return p;
}

std::vector<SitePtr> readySites() {
    std::vector<SitePtr> ready;
    for (const auto& site : siteSnapshot()) {
        if (site->ready.load() && !site->dropRequested.load() && !site->resetRequested.load()) ready.push_back(site);
    }
    return ready;
}

// Sends host message n to every ready site, whole or in two parts.
void sendNumbered(const std::vector<SitePtr>& sites, bool control, const Planned* split) {
    long n = ++gSchedule.messageNumber;
    std::string packet = control ? "SERVER~~~~~~HOSTMSG " + std::to_string(n) + " \a\b\t\v\f\r\x1b\x1f~"
                                 : "Host~ulk-sim~~~~~HOSTMSG " + std::to_string(n) + "~";
    if (control) report("chaos: control characters in host message " + std::to_string(n));
    for (const auto& site : sites) {
        bool sent = false;
        if (split == nullptr) {
            sent = sendHostPacket(*site, packet);
        } else {
            auto cut = static_cast<std::size_t>(split->cutPermille) * packet.size() / 1000;
            cut = cut == 0 ? 1 : cut;
            report("chaos: " + siteTag(*site) + " -> " + printable(packet.substr(0, cut)) + "  [the rest in " +
                   std::to_string(split->size) + " ms]");
            sent = sendToSiteInTwo(*site, packet + "\n", cut, split->size);
        }
        noteHostMessage(n, site->number, kolv::nowUnixMs(), sent);
    }
}

void sendLongLine(const std::vector<SitePtr>& sites, std::int64_t length) {
    std::string line = "Host~ulk-sim~~~~~LONG " + std::to_string(++gSchedule.longLines) + " ";
    while (line.size() < static_cast<std::size_t>(length)) line += "0123456789";
    line += "~";
    for (const auto& site : sites) {
        report("chaos: " + siteTag(*site) + " -> a line of " + std::to_string(line.size()) + " characters");
        sendToSite(*site, line + "\n");
    }
}

void endOrStall(const std::vector<SitePtr>& sites, const Planned& p) {
    for (const auto& site : sites) {
        if (p.fault == Fault::Stall) {
            report("chaos: " + siteTag(*site) + " not read for " + std::to_string(p.size) + " ms");
            site->stallUntilMs.store(kolv::steadyMs() + p.size);
        } else {
            report(std::string("chaos: ") + (p.fault == Fault::Reset ? "resetting " : "closing ") + siteTag(*site));
            (p.fault == Fault::Reset ? site->resetRequested : site->dropRequested).store(true);
        }
    }
}

// False when no site is ready: the fault waits for one.
bool inject(const Planned& p) {
    std::vector<SitePtr> sites = readySites();
    if (sites.empty()) return false;
    noteFault(p.fault);
    switch (p.fault) {
    case Fault::SplitLine: sendNumbered(sites, false, &p); break;
    case Fault::ControlChars: sendNumbered(sites, true, nullptr); break;
    case Fault::LongLine: sendLongLine(sites, p.size); break;
    default: endOrStall(sites, p); break;
    }
    return true;
}

}  // namespace

void chaosTick(std::int64_t nowMs) {
    Schedule& s = gSchedule;
    if (s.startMs < 0) {
        s.random = kolvtool::Random(static_cast<std::uint64_t>(options().chaosSeed));
        s.startMs = nowMs;
        s.next = draw(s.random, nowMs);
        s.nextMessageMs = nowMs + kHostMessageEveryMs;
    }
    if (nowMs >= s.nextMessageMs) {
        s.nextMessageMs += kHostMessageEveryMs;
        std::vector<SitePtr> sites = readySites();
        if (!sites.empty()) sendNumbered(sites, false, nullptr);
    }
    // The next fault is drawn from this one's planned time, so a wait for a
    // site does not move the rest of the schedule.
    if (nowMs >= s.next.atMs && inject(s.next)) s.next = draw(s.random, s.next.atMs);
}

}  // namespace ulksim
