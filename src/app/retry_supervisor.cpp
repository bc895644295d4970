#include "app/retry_supervisor.h"

#include "host/host_session.h"
#include "host/run_host_link.h"
#include "output/bounded_format.h"
#include "output/report.h"
#include "platform/system.h"

namespace kolv {
namespace {
// Before the first link a site that cannot be reached gives up after this many attempts.
constexpr int kFirstLinkAttempts = 10;
}  // namespace

bool attemptAllowed(bool everConnected, int retryCount, int maxRetries) {
    if (!everConnected) return retryCount < kFirstLinkAttempts;
    return maxRetries <= 0 || retryCount < maxRetries;
}

void formatRetryLine(char (&out)[50], int retryCount, int maxRetries, bool everConnected) {
    if (maxRetries == 0 && everConnected) {
        boundedFormat(out, sizeof out, "Retry %d...\r\n", retryCount);
    } else {
        boundedFormat(out, sizeof out, "Retry %d of %d...\r\n", retryCount,
                      everConnected ? maxRetries : kFirstLinkAttempts);
    }
}

int runRetrySupervisor(const BridgeConfig& config, const RetryPolicy& policy) {
    HostSession& session = hostSession();
    for (;;) {
        if (!attemptAllowed(session.everConnected, session.retryCount, policy.maxRetries)) return 0;
        runHostLink(config);
        sleepMs(static_cast<std::int64_t>(policy.retryWaitSeconds) * 1000);
        ++session.retryCount;
        char line[50];
        formatRetryLine(line, session.retryCount, policy.maxRetries, session.everConnected);
        reportLine(line);
    }
}

}  // namespace kolv
