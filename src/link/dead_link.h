#pragma once
// When a host link that nobody closed is taken for dead.
#include "platform/socket.h"

namespace kolv {

// A link is dead after this long without an answer: the keep-alive idle time,
// the limit for data the host has not acknowledged, and for a host that
// takes no data while writes wait. A link that stays up this long also
// counts as made, though its host said nothing.
inline constexpr int kDeadLinkMs = 60000;

// kDeadLinkMs, or, for tests only, the value of the environment variable
// KOLV_TEST_DEAD_LINK_MS (milliseconds, 1 or more).
int deadLinkMs();

// The socket limits for the host link: keep-alive after deadLinkMs() idle,
// 3 probes 10 s apart (a sixth of it), unacknowledged data for deadLinkMs().
DeadLinkLimits deadLinkLimits();

}  // namespace kolv
