#include "app/retry_supervisor.h"

#include "host/host_session.h"
#include "host/run_host_link.h"
#include "link/lifecycle.h"
#include "link/service_status.h"
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
    serviceConnecting(config.host, config.port);
    while (!stopRequested() && attemptAllowed(session.everConnected, session.retryCount, policy.maxRetries)) {
        runHostLink(config);
        if (stopRequested()) break;
        const int limit = session.everConnected ? policy.maxRetries : kFirstLinkAttempts;
        serviceRetrying(session.retryCount + 1, limit);
        if (pauseUnlessStopped(static_cast<std::int64_t>(policy.retryWaitSeconds) * 1000)) break;
        ++session.retryCount;
        char line[50];
        formatRetryLine(line, session.retryCount, policy.maxRetries, session.everConnected);
        reportLine(line);
    }
    markMainStopped();
    return 0;
}

}  // namespace kolv
