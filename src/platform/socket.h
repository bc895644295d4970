#pragma once
// Thin socket layer: the only place that knows which OS sockets API is in use.
#include <cstddef>
#include <cstdint>

namespace kolv {

using SocketHandle = int;
inline constexpr SocketHandle kInvalidSocket = -1;

// Error code a send reports when the link has no socket (POSIX EBADF).
int notSocketError();
// Error code a blocking send reports when its send time-out runs out.
int timedOutError();

// Process-wide sockets start-up and clean-up; no-ops on POSIX. Returns 0 on success.
int socketStartup();
void socketCleanup();

// The calling thread's last socket error (errno on POSIX).
int lastSocketError();

void closeSocket(SocketHandle s);
void shutdownSend(SocketHandle s);
// Ends both directions: a thread blocked reading s sees the end of stream.
void shutdownBoth(SocketHandle s);

// send() without SIGPIPE; returns -1 on failure with lastSocketError() set.
long socketSend(SocketHandle s, const void* data, std::size_t len);
// recv(); returns 0 at end of stream, -1 on failure.
long socketRecv(SocketHandle s, void* data, std::size_t len);
// The same two calls straight to the OS, past any installed test seam: for
// seams that pass traffic on.
long systemSocketSend(SocketHandle s, const void* data, std::size_t len);
long systemSocketRecv(SocketHandle s, void* data, std::size_t len);

bool setNonBlocking(SocketHandle s, bool on);
// Bounds how long a blocking send may wait for room in the peer's window.
void setSendTimeout(SocketHandle s, int milliseconds);
// Caps what the kernel may hold for s on its way out, and so what a peer
// that resets can take with it.
void setSendBufferSize(SocketHandle s, int bytes);
// Bytes written to s that the peer has not yet acknowledged; -1 where the
// system cannot tell (Windows).
int unsentByteCount(SocketHandle s);
// Caps the kernel's receive buffer. On a listening socket, before it accepts,
// every connection it accepts starts with a small window.
void setReceiveBufferSize(SocketHandle s, int bytes);
// Bytes the kernel holds for s that nobody has read yet, or -1.
int unreadByteCount(SocketHandle s);
// Lets a listening socket bind again right after a restart.
void setReuseAddress(SocketHandle s);
// Sends each small packet at once instead of holding it for the peer's
// acknowledgement of the previous one.
void setNoDelay(SocketHandle s);

// When a connection counts as dead although nobody closed it: after idleMs
// without traffic, keepAliveProbes probes keepAliveIntervalMs apart go
// unanswered, or data sent stays unacknowledged for unacknowledgedMs. The
// system then ends it with its time-out error. Keep-alive times are whole
// seconds (at least 1) on most systems.
struct DeadLinkLimits {
    int idleMs;
    int keepAliveIntervalMs;
    int keepAliveProbes;
    int unacknowledgedMs;
};
void setDeadLinkLimits(SocketHandle s, const DeadLinkLimits& limits);

// Socket calls that differ in type between OS APIs. Each returns the
// invalid socket or -1 on failure, with lastSocketError() set.
SocketHandle openSocket(int family, int type, int protocol);
int connectSocket(SocketHandle s, const void* address, std::size_t length);
// connectSocket that gives up after timeoutMs with the system's time-out
// code (ETIMEDOUT, WSAETIMEDOUT) as the last error. The socket is left
// blocking, as it came.
int connectSocketWithin(SocketHandle s, const void* address, std::size_t length, int timeoutMs);
int bindSocket(SocketHandle s, const void* address, std::size_t length);
int listenSocket(SocketHandle s, int backlog);
SocketHandle acceptSocket(SocketHandle listening);

enum class WaitFor { Read, Write };
// Waits until s is ready; timeoutMs < 0 waits without bound.
// Returns 1 when ready, 0 on time-out, -1 on error.
int waitSocket(SocketHandle s, WaitFor what, int timeoutMs);
int systemWaitSocket(SocketHandle s, WaitFor what, int timeoutMs);  // past any test seam
// Waits until one of count sockets is readable (a listening one: a client
// waits to be accepted), at most timeoutMs; sets readable[i] for each. Returns
// how many are, 0 on time-out, -1 on error. Not through the test seam.
int waitReadable(const SocketHandle* sockets, bool* readable, int count, int timeoutMs);

// True when the last error means "try again later" on a non-blocking socket,
// or that a send ran out of its send time-out.
bool isWouldBlock(int error);
// True when a socket or bind failed with error because this machine lacks
// the address or its family (no IPv6), not because the port is taken.
bool isAddressUnavailable(int error);
// True when a send that failed with error may have left part of its data
// behind, so the stream is no longer whole: a Windows send time-out, after
// which the socket must not be used. A POSIX one reports what went out.
bool sendErrorLeavesStreamUndefined(int error);

// Owns a socket: closes it unless released.
class UniqueSocket {
public:
    explicit UniqueSocket(SocketHandle s = kInvalidSocket) : socket_(s) {}
    ~UniqueSocket() { closeSocket(socket_); }
    UniqueSocket(UniqueSocket&& other) noexcept : socket_(other.release()) {}
    UniqueSocket& operator=(UniqueSocket&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    SocketHandle get() const { return socket_; }
    SocketHandle release() {
        SocketHandle s = socket_;
        socket_ = kInvalidSocket;
        return s;
    }
    void reset(SocketHandle s = kInvalidSocket) {
        closeSocket(socket_);
        socket_ = s;
    }

private:
    SocketHandle socket_;
};

// For tests: a connected pair of stream sockets within this process (starts
// the sockets layer where it needs starting). Returns 0, or -1 with
// lastSocketError() set.
int socketPair(SocketHandle pair[2]);
// For tests: closes s so that its peer's next send fails at once.
void abortSocket(SocketHandle s);
// For tests: makes error the calling thread's last socket error.
void setLastSocketError(int error);

}  // namespace kolv
