#include "platform/seam.h"

#include <atomic>

#include "platform/system.h"

namespace kolv {
namespace {
std::atomic<const PlatformSeam*> activeSeam{nullptr};
}  // namespace

void setPlatformSeam(const PlatformSeam* seam) { activeSeam.store(seam, std::memory_order_release); }

const PlatformSeam* platformSeam() { return activeSeam.load(std::memory_order_acquire); }

// Each call below goes to the installed seam, or else to the operating system.

long socketSend(SocketHandle s, const void* data, std::size_t len) {
    if (const PlatformSeam* seam = platformSeam()) return seam->send(s, data, len);
    return systemSocketSend(s, data, len);
}

long socketRecv(SocketHandle s, void* data, std::size_t len) {
    if (const PlatformSeam* seam = platformSeam()) return seam->recv(s, data, len);
    return systemSocketRecv(s, data, len);
}

int waitSocket(SocketHandle s, WaitFor what, int timeoutMs) {
    if (const PlatformSeam* seam = platformSeam()) return seam->wait(s, what, timeoutMs);
    return systemWaitSocket(s, what, timeoutMs);
}

void sleepMs(std::int64_t milliseconds) {
    if (const PlatformSeam* seam = platformSeam()) return seam->sleep(milliseconds);
    systemSleepMs(milliseconds);
}

void pauseUntilMicros(std::int64_t deadline) {
    const std::int64_t left = deadline - steadyMicros();
    if (left <= 0) return;
    if (const PlatformSeam* seam = platformSeam()) return seam->sleep((left + 999) / 1000);
    systemPauseUntilMicros(deadline);
}

std::int64_t nowUnixMs() {
    if (const PlatformSeam* seam = platformSeam()) return seam->unixMs();
    return systemUnixMs();
}

}  // namespace kolv
