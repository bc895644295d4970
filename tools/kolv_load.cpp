#include "kolv_load.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <system_error>
#include <thread>
#include <vector>

#include "kolv_load_client.h"
#include "kolv_load_report.h"
#include "platform/system.h"
#include "tool_random.h"

namespace kolvload {
namespace {

volatile std::sig_atomic_t gSignalled = 0;

void onSignal(int) { gSignalled = 1; }

// One slot: a client, a short pause, the next client in its place.
void runSlot(const kolvchat::Options& o, int slot, const std::atomic<bool>& stopping, std::atomic<long>& joined) {
    kolvtool::Random random(kolvtool::streamSeed(static_cast<std::uint64_t>(o.seed), static_cast<std::uint64_t>(slot)));
    for (int k = 1; !stopping.load(); ++k) {
        ClientPlan plan = drawPlan(random);
        std::string name = "u" + std::to_string(slot) + "-" + std::to_string(k);
        if (runClient(o, name, plan, stopping)) ++joined;
        kolv::sleepMs(random.between(50, 500));
    }
}

void waitForTheEnd(long long durationSeconds) {
    const std::int64_t end = kolv::steadyMs() + durationSeconds * 1000;
    while (gSignalled == 0 && (durationSeconds == 0 || kolv::steadyMs() < end)) kolv::sleepMs(50);
}

}  // namespace

int runLoad(const kolvchat::Options& o) {
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::atomic<bool> stopping{false};
    std::atomic<long> joined{0};
    std::vector<std::thread> slots;
    announce("load: " + std::to_string(o.load) + " clients at a time, seed " + std::to_string(o.seed) +
             " on " + o.host + ":" + o.port);
    try {
        for (int slot = 0; slot < o.load; ++slot) slots.emplace_back(runSlot, std::cref(o), slot, std::cref(stopping),
                                                                     std::ref(joined));
    } catch (const std::system_error& e) {
        std::fprintf(stderr, "kolv-chat: cannot start a client thread: %s\n", e.what());
        stopping.store(true);
    }
    waitForTheEnd(o.durationSeconds);
    stopping.store(true);
    for (std::thread& slot : slots) slot.join();
    printSummary();
    return joined.load() > 0 ? 0 : 1;
}

}  // namespace kolvload
