#include "platform/service_notify.h"

#include <systemd/sd-daemon.h>

namespace kolv {

void notifyServiceManager(const char* state) { ::sd_notify(0, state); }

std::int64_t serviceWatchdogMicros() {
    std::uint64_t micros = 0;
    return ::sd_watchdog_enabled(0, &micros) > 0 ? static_cast<std::int64_t>(micros) : 0;
}

}  // namespace kolv
