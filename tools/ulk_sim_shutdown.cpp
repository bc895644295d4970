#include "ulk_sim_shutdown.h"

#include <atomic>

#include "platform/system.h"
#include "ulk_sim_chaos_log.h"
#include "ulk_sim_link.h"
#include "ulk_sim_options.h"
#include "ulk_sim_sites.h"
#include "ulk_sim_tally.h"
#include "ulk_sim_tls.h"
#include "ulk_sim_trace.h"

namespace ulksim {
namespace {

std::atomic<bool> gFinishing{false};

}  // namespace

bool finishing() { return gFinishing.load(); }

void finish(const std::string& why) {
    if (gFinishing.exchange(true)) {
        // Someone else is already closing down; it ends the process.
        for (;;) kolv::sleepMs(1000);
    }
    report("exiting: " + why);
    requestDropAll();
    std::int64_t deadline = kolv::steadyMs() + kDrainMs + 500;
    while (kolv::steadyMs() < deadline && !noSitesLeft()) kolv::sleepMs(20);
    if (options().chaos) {
        printChaosLog(options().chaosSeed, options().chaosRate);
        printTally();
    }
    flushReports();
    freeTls();
    kolv::exitProcess(0);
}

}  // namespace ulksim
