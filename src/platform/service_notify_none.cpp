#include "platform/service_notify.h"

namespace kolv {

void notifyServiceManager(const char*) {}

std::int64_t serviceWatchdogMicros() { return 0; }

}  // namespace kolv
