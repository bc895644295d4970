#pragma once
// How long one step of a host-link attempt may take before it is given up.
namespace kolv {

// Each connect (per resolved address) and the TLS handshake end within this.
inline constexpr int kAttemptLimitMs = 20000;

// The limit in force: kAttemptLimitMs, or, for tests only, the value of the
// environment variable KOLV_TEST_ATTEMPT_LIMIT_MS (milliseconds, 1 or more).
int attemptLimitMs();

}  // namespace kolv
