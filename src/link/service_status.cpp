#include "link/service_status.h"

#include <string>
#include <thread>

#include "link/lifecycle.h"
#include "platform/mutex.h"
#include "platform/service_notify.h"
#include "platform/system.h"

namespace kolv {
namespace {

struct ServiceStatus {
    Mutex mutex;
    std::string linkedTo GUARDED_BY(mutex);  // "host:port" while a link is up, else empty
    int clients GUARDED_BY(mutex) = 0;
};

ServiceStatus& serviceStatus() {
    static auto* status = new ServiceStatus();  // never destroyed: used by detached threads
    return *status;
}

// Sent under the lock, so that two threads' texts reach the manager in the
// order their states were set.
void sendStatusLocked([[maybe_unused]] ServiceStatus& status, const std::string& text) REQUIRES(status.mutex) {
    notifyServiceManager(("STATUS=" + text).c_str());
}

std::string linkedText(const std::string& linkedTo, int clients) {
    return "Linked to " + linkedTo + " with " + std::to_string(clients) + (clients == 1 ? " client" : " clients");
}

void watchdogLoop(std::int64_t intervalMs) {
    for (;;) {
        systemSleepMs(intervalMs / 2);
        const std::int64_t now = steadyMs();
        if (now - lastAliveMs(Beat::Main) < intervalMs && now - lastAliveMs(Beat::Listener) < intervalMs) {
            notifyServiceManager("WATCHDOG=1");
        }
    }
}

}  // namespace

void serviceReady() { notifyServiceManager("READY=1"); }

void serviceConnecting(const char* host, const char* port) {
    ServiceStatus& status = serviceStatus();
    MutexLock lock(status.mutex);
    status.linkedTo.clear();
    sendStatusLocked(status, std::string("Connecting to ") + host + ":" + port);
}

void serviceLinked(const char* host, const char* port) {
    ServiceStatus& status = serviceStatus();
    MutexLock lock(status.mutex);
    status.linkedTo = std::string(host) + ":" + port;
    sendStatusLocked(status, linkedText(status.linkedTo, status.clients));
}

void serviceClientsChanged(int change) {
    ServiceStatus& status = serviceStatus();
    MutexLock lock(status.mutex);
    status.clients += change;
    if (!status.linkedTo.empty()) sendStatusLocked(status, linkedText(status.linkedTo, status.clients));
}

void serviceRetrying(int attempt, int limit) {
    ServiceStatus& status = serviceStatus();
    MutexLock lock(status.mutex);
    status.linkedTo.clear();
    std::string text = "Retrying, attempt " + std::to_string(attempt);
    if (limit > 0) text += " of " + std::to_string(limit);
    sendStatusLocked(status, text);
}

void serviceStopping() {
    ServiceStatus& status = serviceStatus();
    MutexLock lock(status.mutex);
    status.linkedTo.clear();
    sendStatusLocked(status, "Stopping");
    notifyServiceManager("STOPPING=1");
}

void startServiceWatchdog() {
    const std::int64_t intervalMs = serviceWatchdogMicros() / 1000;
    if (intervalMs <= 0) return;
    std::thread(watchdogLoop, intervalMs).detach();
}

}  // namespace kolv
