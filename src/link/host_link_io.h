#pragma once
// The host link: one socket (and its TLS session) that every thread writes
// to and the main thread reads from. Writes take turns in the order they
// came, then hold the link lock for the whole write; reads wait outside it.
#include <cstddef>

#include "link/tls_session.h"
#include "platform/socket.h"

namespace kolv {

// How long one write may wait for a host that does not read.
inline constexpr int kHostWriteTimeoutMs = 5000;
// How long writes after a new link's handshake wait for the host's first line.
inline constexpr int kHostHoldWritesMs = 2000;
// The most the kernel holds for the host unsent: what a host that resets
// can lose, and how long a host that stops reading goes unnoticed.
inline constexpr int kHostSendBufferBytes = 256 * 1024;

// Writes data to the host link as one unit, after the writes that came
// before it; after a new link's handshake, not before the host's first line
// (releaseHeldWrites) or kHostHoldWritesMs. Returns the count written, or -1
// with errorCode set: the TLS library's SSL_get_error code while TLS is
// active, otherwise the socket error (the "not a socket" code when no link
// is open or it has been broken). A write that fails after part of it went
// out breaks the link: the receive loop then sees it end. Any thread; takes
// the write turn, then the link lock.
long writeHostLink(const char* data, std::size_t length, int& errorCode);

// Reads what the host link has, waiting until something arrives. Returns the
// count read, 0 when the host closed the link, -1 on failure; errorCode is set
// as for writeHostLink when the result is 0 or less. Main thread only; takes
// the link lock for each TLS read, never across the wait.
long readHostLink(char* buffer, std::size_t size, int& errorCode);

// Lets writes held after a new link's handshake go, in the order they came.
// Main thread: the receive loop calls it when the host's first line arrives.
void releaseHeldWrites();

// Main thread: makes a connected socket (and its TLS session, empty for a
// plain link) the open link, owning both from now on, and writes the
// handshake in the same locked step, so no relayed packet can go before it.
// Returns what writeHostLink would.
long openHostLinkWithHandshake(SocketHandle socket, TlsSession tls, const char* handshake, int& errorCode);

// Main thread: closes the link under its lock: marks it closed for the
// senders, sends the TLS close notice before the socket is shut down and
// closed, frees the TLS session. Then reports the bytes the kernel still
// held that the host never took, where the system can tell.
void closeHostLink();

// Whether the open link runs TLS: its read errors then come with the TLS
// library's error text.
bool hostLinkUsesTls();

}  // namespace kolv
