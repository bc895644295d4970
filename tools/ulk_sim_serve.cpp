#include "ulk_sim_serve.h"

#include "packet/packet_text.h"
#include "platform/system.h"
#include "ulk_sim_link.h"
#include "ulk_sim_options.h"
#include "ulk_sim_tally.h"
#include "ulk_sim_tls.h"
#include "ulk_sim_trace.h"

namespace ulksim {
namespace {

// A site that sends a partial line and then nothing for this long gets it handled as it is.
constexpr std::int64_t kStalledLineMs = 500;
constexpr std::size_t kMaxLine = 16384;
constexpr std::size_t kReadSize = 16384;
constexpr int kReadPollMs = 100;

std::string statsText() {
    if (options().statsGiven) return options().statsText;
    return "sites=" + std::to_string(readySiteCount()) + " users=0";
}

// Chat goes back to its site and on to every other; this stands in for the way
// to a remote host and back, counted from arrival so lines of one read are not
// delayed one after the other.
void passOn(const SitePtr& site, const std::string& wire, std::int64_t arrivedMs) {
    std::int64_t wait = arrivedMs + options().latencyMs - kolv::steadyMs();
    if (wait > 0) kolv::sleepMs(wait);
    for (const auto& other : siteSnapshot()) {
        if (!other->ready.load()) continue;
        if (other == site && !options().echo) continue;
        sendToSite(*other, wire);
    }
}

// One line from a site, without its line end, read at arrivedMs. Unless
// answer is false (the link is ending), echoes chat and answers STATS.
void handleLine(const SitePtr& site, const std::string& line, bool hadLineEnd, std::int64_t arrivedMs, bool answer) {
    tallyLine(line, hadLineEnd);
    std::vector<std::string> fields = kolv::splitFields(line, '~');
    std::string note = hadLineEnd ? "" : "  [no line end]";
    if (fields.size() < 7) {
        if (!options().quiet) report(siteTag(*site) + " <- " + printable(line) + note + "  [not a packet; ignored]");
        return;
    }
    if (!options().quiet) report(siteTag(*site) + " <- " + printable(line) + note);
    if (!answer) return;
    if (fields[3] == "SERVER") {
        if (fields[6] == "STATS") sendHostPacket(*site, "SERVER~~~~~~STATS:" + statsText() + "~");
        return;
    }
    passOn(site, hadLineEnd ? line + "\n" : line, arrivedMs);
}

void handleData(const SitePtr& site, std::string& carry, const char* data, std::size_t size, bool answer) {
    const std::int64_t arrivedMs = kolv::steadyMs();
    carry.append(data, size);
    std::size_t start = 0;
    for (;;) {
        std::size_t end = carry.find('\n', start);
        if (end == std::string::npos) break;
        handleLine(site, carry.substr(start, end - start), true, arrivedMs, answer);
        start = end + 1;
    }
    carry.erase(0, start);
    if (carry.size() >= kMaxLine) {
        handleLine(site, carry, false, arrivedMs, answer);
        carry.clear();
    }
}

void onHandshake(const SitePtr& site, std::string text) {
    site->handshake = std::move(text);
    site->readyAtMs = kolv::steadyMs();
    site->readyAtUnixMs = kolv::nowUnixMs();
    site->nextPingMs = site->readyAtMs + options().pingSeconds * 1000;
    site->ready.store(true);
    report(siteTag(*site) + " handshake \"" + printable(site->handshake) + "\"");
    sendHostPacket(*site, "SERVER~~~~~~HELLO~");
}

ReadResult ended(const char* why, Ending how) {
    ReadResult result;
    result.why = why;
    result.how = how;
    return result;
}

// True while --chaos has the site's text wait unread; waits a little first.
bool holdingBack(const Site& site) {
    std::int64_t left = site.stallUntilMs.load() - kolv::steadyMs();
    if (left <= 0) return false;
    kolv::sleepMs(left < kReadPollMs ? left : kReadPollMs);
    return true;
}

// Reads until the connection ends or the site is to be dropped; what is left
// of an unfinished line stays in carry.
ReadResult readUntilEnd(const SitePtr& site, std::string& carry) {
    std::int64_t lastDataMs = kolv::steadyMs();
    std::vector<char> buffer(kReadSize);
    for (;;) {
        if (site->resetRequested.load()) return ended("reset", Ending::Reset);
        if (site->dropRequested.load()) return ended("dropped", Ending::Orderly);
        if (holdingBack(*site)) continue;
        ReadResult got = readSome(*site, buffer);
        if (got.size > 0) {
            lastDataMs = kolv::steadyMs();
            std::size_t size = static_cast<std::size_t>(got.size);
            if (!site->ready.load()) onHandshake(site, std::string(buffer.data(), size));
            else handleData(site, carry, buffer.data(), size, true);
            continue;
        }
        if (!got.again) return got;
        // Under --chaos a partial line waits for its line end: that is what is checked.
        if (!carry.empty() && !options().chaos && kolv::steadyMs() - lastDataMs >= kStalledLineMs) {
            handleLine(site, carry, false, kolv::steadyMs(), true);
            carry.clear();
        }
        kolv::waitSocket(site->socket, got.waitFor, kReadPollMs);
    }
}

}  // namespace

void serveSite(SitePtr site) {
    kolv::setNonBlocking(site->socket, true);
    if (tlsContext() != nullptr && !acceptTls(*site)) {
        closeSite(site, "no TLS", Ending::Broken);
        return;
    }
    std::string carry;
    ReadResult end = readUntilEnd(site, carry);
    closeSite(site, end.why, end.how, [&](const char* data, std::size_t size) {
        if (site->ready.load()) handleData(site, carry, data, size, false);
    });
    if (carry.empty()) return;
    tallyUnfinished();
    if (!options().quiet) report(siteTag(*site) + " unfinished line dropped: " + printable(carry));
}

}  // namespace ulksim
