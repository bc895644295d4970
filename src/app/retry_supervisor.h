#pragma once
#include "app/options.h"
#include "config/bridge_config.h"

namespace kolv {

// True while the policy allows another host-link attempt.
bool attemptAllowed(bool everConnected, int retryCount, int maxRetries);

// "Retry n...\r\n" or "Retry n of m...\r\n" into out (50 bytes).
void formatRetryLine(char (&out)[50], int retryCount, int maxRetries, bool everConnected);

// Main thread: runs host-link attempts until the policy ends them; returns the exit code.
int runRetrySupervisor(const BridgeConfig& config, const RetryPolicy& policy);

}  // namespace kolv
