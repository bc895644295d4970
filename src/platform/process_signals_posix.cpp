#include "platform/process_signals.h"

#include <pthread.h>
#include <signal.h>

#include <thread>

namespace kolv {
namespace {

struct RoutedSignal {
    int number;
    const char* name;
    SignalRequest request;
};

constexpr RoutedSignal kRouted[] = {
    {SIGTERM, "SIGTERM", SignalRequest::Stop}, {SIGINT, "SIGINT", SignalRequest::Stop},
    {SIGHUP, "SIGHUP", SignalRequest::Note},   {SIGUSR1, "SIGUSR1", SignalRequest::Note},
    {SIGUSR2, "SIGUSR2", SignalRequest::Note},
};

void waitForSignals(sigset_t set, SignalCallback callback) {
    for (;;) {
        int number = 0;
        if (::sigwait(&set, &number) != 0) continue;
        for (const RoutedSignal& routed : kRouted) {
            if (routed.number == number) callback(routed.name, routed.request);
        }
    }
}

}  // namespace

// Blocked here, the signals stay pending for every thread started later (they
// inherit the mask) until the one waiting thread takes them: no handler runs
// inside another thread's work.
void routeProcessSignals(SignalCallback callback) {
    sigset_t set;
    ::sigemptyset(&set);
    for (const RoutedSignal& routed : kRouted) ::sigaddset(&set, routed.number);
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread(waitForSignals, set, callback).detach();
}

}  // namespace kolv
