#include "link/link_status.h"

#include <atomic>
#include <chrono>

#include "link/lifecycle.h"
#include "platform/mutex.h"

namespace kolv {
namespace {

struct LinkStatus {
    Mutex mutex;
    bool down GUARDED_BY(mutex) = true;
    CondVar changed;
    std::atomic<std::int64_t> lastLatencyMs{0};
    LatencyTracker tracker;
};

LinkStatus& linkStatus() {
    static auto* status = new LinkStatus();  // never destroyed: used by detached threads
    return *status;
}

}  // namespace

void setHostLinkDown(bool down) {
    LinkStatus& status = linkStatus();
    {
        MutexLock lock(status.mutex);
        status.down = down;
    }
    if (!down) status.changed.notifyAll();
}

void waitForHostLinkUp() {
    LinkStatus& status = linkStatus();
    MutexLock lock(status.mutex);
    while (status.down) {
        noteAlive(Beat::Listener);
        status.changed.waitUntil(status.mutex, std::chrono::steady_clock::now() + std::chrono::seconds(1));
    }
    noteAlive(Beat::Listener);
}

LatencyTracker& linkLatencyTracker() { return linkStatus().tracker; }

void storeLastLatencyMs(std::int64_t latencyMs) { linkStatus().lastLatencyMs.store(latencyMs); }

std::int64_t lastLatencyMs() { return linkStatus().lastLatencyMs.load(); }

}  // namespace kolv
