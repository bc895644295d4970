#pragma once

namespace kolv {

// How long a send to a local client may wait for a client that does not read.
inline constexpr int kClientSendTimeoutMs = 5000;

// The listener thread's body. Waits for the first host link, then listens
// on "localhost" and *portRef and starts a client thread for each accepted
// client. Returns 1 after a set-up failure, 0 when listening fails. Takes
// the link status lock while it waits, then one slot send lock per admitted
// client.
int listenerThread(const char* const* portRef);

}  // namespace kolv
