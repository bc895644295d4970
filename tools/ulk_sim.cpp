// ulk-sim: a small stand-in for the chat host, so the bridge can be tried and
// tested on one machine. It greets each site, pings it, answers its statistics
// requests, echoes and passes on chat, and can drop sites to exercise reconnects.
// This file listens, takes sites in and keeps the timers.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <thread>

#include "platform/system.h"
#include "platform/resolve.h"
#include "tool_net.h"
#include "tool_options.h"
#include "ulk_sim_chaos.h"
#include "ulk_sim_commands.h"
#include "ulk_sim_link.h"
#include "ulk_sim_options.h"
#include "ulk_sim_serve.h"
#include "ulk_sim_shutdown.h"
#include "ulk_sim_sites.h"
#include "ulk_sim_tls.h"
#include "ulk_sim_trace.h"

namespace {

using kolv::SocketHandle;
using ulksim::options;
using ulksim::report;
using ulksim::SitePtr;

std::atomic<bool> gDroppedOnce{false};
volatile std::sig_atomic_t gSignalled = 0;

void onSignal(int) { gSignalled = 1; }

SocketHandle openListener(std::string& shown) {
    const ulksim::Options& o = options();
    kolv::AddressList list;
    int resolved = kolv::resolveStream(o.listen.c_str(), o.port.c_str(), true, list);
    if (resolved != 0) {
        std::fprintf(stderr, "ulk-sim: cannot resolve %s: %s\n", o.listen.c_str(), gai_strerror(resolved));
        return kolv::kInvalidSocket;
    }
    int error = 0;
    SocketHandle listening = kolvtool::firstUsableSocket(list.get(), [&](SocketHandle s, const addrinfo& a) {
        kolv::setReuseAddress(s);
        if (o.chaos) kolv::setReceiveBufferSize(s, ulksim::kChaosReceiveBuffer);
        if (kolv::bindSocket(s, a.ai_addr, a.ai_addrlen) != 0 || kolv::listenSocket(s, 16) != 0) return false;
        shown = (a.ai_family == AF_INET6 ? "[" + o.listen + "]" : o.listen) + ":" + o.port;
        return true;
    }, error);
    if (listening == kolv::kInvalidSocket)
        std::fprintf(stderr, "ulk-sim: cannot listen on %s port %s: error %d (%s)\n", o.listen.c_str(),
                     o.port.c_str(), error, std::strerror(error));
    return listening;
}

void takeSite(SocketHandle client) {
    SitePtr site = ulksim::addSite(client);
    if (!site) {
        kolv::closeSocket(client);
        report("connection refused: already " + std::to_string(ulksim::kMaxSites) + " sites");
        return;
    }
    report(ulksim::siteTag(*site) + " connected");
    try {
        std::thread(ulksim::serveSite, site).detach();
    } catch (const std::exception& e) {
        ulksim::closeSite(site, std::string("no thread: ") + e.what(), ulksim::Ending::Broken);
    }
}

void acceptLoop(SocketHandle listening) {
    for (;;) {
        SocketHandle client = kolv::acceptSocket(listening);
        if (client == kolv::kInvalidSocket) {
            report("accept error " + std::to_string(kolv::lastSocketError()));
            kolv::sleepMs(100);
            continue;
        }
        if (ulksim::finishing()) {
            kolv::closeSocket(client);
            continue;
        }
        takeSite(client);
    }
}

void checkSiteTimers(ulksim::Site& site, std::int64_t now) {
    const ulksim::Options& o = options();
    if (o.pingSeconds > 0 && now >= site.nextPingMs) {
        site.nextPingMs = now + o.pingSeconds * 1000;
        ulksim::sendHostPacket(site, "SERVER~~~~~~ping~");
    }
    if (o.dropAfterSeconds > 0 && !site.dropTimerDone && now - site.readyAtMs >= o.dropAfterSeconds * 1000) {
        site.dropTimerDone = true;
        if (o.dropOnce && gDroppedOnce.exchange(true)) return;
        report(ulksim::siteTag(site) + " dropping (--drop-after " + std::to_string(o.dropAfterSeconds) + " s)");
        site.dropRequested.store(true);
    }
}

// Checked once a tick: signals, pings, timed drops, chaos and the exit timer.
[[noreturn]] void timerLoop() {
    std::int64_t startMs = kolv::steadyMs();
    const long exitAfter = options().exitAfterSeconds;
    for (;;) {
        kolv::sleepMs(50);
        std::int64_t now = kolv::steadyMs();
        if (gSignalled != 0) ulksim::finish("signal");
        if (exitAfter > 0 && now - startMs >= exitAfter * 1000)
            ulksim::finish("--exit-after " + std::to_string(exitAfter) + " s");
        if (ulksim::finishing()) continue;
        for (const auto& site : ulksim::siteSnapshot()) {
            if (site->ready.load() && !site->dropRequested.load()) checkSiteTimers(*site, now);
        }
        if (options().chaos) ulksim::chaosTick(now);
    }
}

void reportListening(const std::string& shown) {
    const ulksim::Options& o = options();
    std::string mode = !o.tls ? "plain TCP" : o.certFile.empty() ? "TLS, self-signed" : "TLS";
    report("ulk-sim listening on " + shown + " (" + mode + "); ping " +
           (o.pingSeconds > 0 ? "every " + std::to_string(o.pingSeconds) + " s" : "off") + (o.echo ? "" : "; no echo") +
           (o.latencyMs > 0 ? "; latency " + std::to_string(o.latencyMs) + " ms" : "") +
           (o.chaos ? "; chaos seed " + std::to_string(o.chaosSeed) + ", " + std::to_string(o.chaosRate) +
                          " faults a minute" : ""));
}

}  // namespace

int main(int argc, char** argv) {
    int parsed = ulksim::parseOptions(argc, argv);
    if (parsed != kolvtool::kGoOn) return parsed;
    kolv::ignoreBrokenPipe();
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    if (kolv::socketStartup() != 0) {
        std::fprintf(stderr, "ulk-sim: sockets are not available\n");
        return 1;
    }
    // Files that cannot be used are faults of the command line, like bad options.
    if (options().tls && !ulksim::setUpTls(options())) return options().certFile.empty() ? 1 : kolvtool::kExitUsage;
    std::string shown;
    SocketHandle listening = openListener(shown);
    if (listening == kolv::kInvalidSocket) return 1;
    reportListening(shown);
    try {
        std::thread(acceptLoop, listening).detach();
        std::thread(ulksim::stdinLoop).detach();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ulk-sim: cannot start threads: %s\n", e.what());
        return 1;
    }
    timerLoop();
}
