#pragma once

namespace kolv {

// How long a send to a local client may wait for a client that does not read.
inline constexpr int kClientSendTimeoutMs = 5000;

// The listener thread's body. Waits for the first host link, then listens
// on every address of "localhost" and *portRef (trying again every
// retryWaitSeconds while it cannot) and starts a client thread for each
// accepted client, until a stop. Returns 1 when the sockets layer cannot
// start, 0 otherwise. Takes the link status lock while it waits, the
// lifecycle lock between tries, then one slot send lock per admitted client.
int listenerThread(const char* const* portRef, int retryWaitSeconds);

}  // namespace kolv
