#include "link/lifecycle.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>

#include "platform/mutex.h"
#include "platform/system.h"

namespace kolv {
namespace {

struct Lifecycle {
    Mutex mutex;
    CondVar changed;
    bool mainStopped GUARDED_BY(mutex) = false;
    std::atomic<bool> stop{false};  // stored under mutex, so that no waiter misses it
    std::array<std::atomic<std::int64_t>, 2> alive{};
};

Lifecycle& lifecycle() {
    static auto* state = new Lifecycle();  // never destroyed: used by detached threads
    return *state;
}

std::chrono::steady_clock::time_point inMs(std::int64_t milliseconds) {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
}

}  // namespace

void noteAlive(Beat who) { lifecycle().alive[static_cast<std::size_t>(who)].store(steadyMs()); }

std::int64_t lastAliveMs(Beat who) { return lifecycle().alive[static_cast<std::size_t>(who)].load(); }

void requestStop() {
    Lifecycle& state = lifecycle();
    {
        MutexLock lock(state.mutex);
        state.stop.store(true);
    }
    state.changed.notifyAll();
}

bool stopRequested() { return lifecycle().stop.load(); }

bool pauseUnlessStopped(std::int64_t milliseconds, Beat who) {
    Lifecycle& state = lifecycle();
    const std::int64_t end = steadyMs() + milliseconds;
    MutexLock lock(state.mutex);
    for (std::int64_t left = milliseconds; !state.stop.load() && left > 0; left = end - steadyMs()) {
        noteAlive(who);
        state.changed.waitUntil(state.mutex, inMs(std::min<std::int64_t>(left, 1000)));
    }
    noteAlive(who);
    return state.stop.load();
}

void markMainStopped() {
    Lifecycle& state = lifecycle();
    {
        MutexLock lock(state.mutex);
        state.mainStopped = true;
    }
    state.changed.notifyAll();
}

bool waitForMainStopped(int milliseconds) {
    Lifecycle& state = lifecycle();
    const auto until = inMs(milliseconds);
    MutexLock lock(state.mutex);
    while (!state.mainStopped) {
        if (!state.changed.waitUntil(state.mutex, until)) return state.mainStopped;
    }
    return true;
}

}  // namespace kolv
