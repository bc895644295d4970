#include "platform/socket.h"

#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/sockios.h>
#endif

#include <vector>

namespace kolv {

int notSocketError() { return EBADF; }

int timedOutError() { return EAGAIN; }

int socketStartup() { return 0; }
void socketCleanup() {}

int lastSocketError() { return errno; }

void setLastSocketError(int error) { errno = error; }

void closeSocket(SocketHandle s) {
    if (s == kInvalidSocket) return;
    int saved = errno;
    ::close(s);
    errno = saved;
}

void shutdownSend(SocketHandle s) {
    int saved = errno;
    ::shutdown(s, SHUT_WR);
    errno = saved;
}

void shutdownBoth(SocketHandle s) {
    int saved = errno;
    ::shutdown(s, SHUT_RDWR);
    errno = saved;
}

long systemSocketSend(SocketHandle s, const void* data, std::size_t len) {
    if (s == kInvalidSocket) {
        errno = EBADF;
        return -1;
    }
    ssize_t n;
    do {
        n = ::send(s, data, len, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return static_cast<long>(n);
}

long systemSocketRecv(SocketHandle s, void* data, std::size_t len) {
    ssize_t n;
    do {
        n = ::recv(s, data, len, 0);
    } while (n < 0 && errno == EINTR);
    return static_cast<long>(n);
}

bool setNonBlocking(SocketHandle s, bool on) {
    int flags = ::fcntl(s, F_GETFL, 0);
    if (flags < 0) return false;
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return ::fcntl(s, F_SETFL, flags) == 0;
}

void setSendTimeout(SocketHandle s, int milliseconds) {
    timeval tv{};
    tv.tv_sec = milliseconds / 1000;
    tv.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
    ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

void setSendBufferSize(SocketHandle s, int bytes) {
    ::setsockopt(s, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

int unsentByteCount(SocketHandle s) {
#if defined(SIOCOUTQ)
    int bytes = 0;
    int saved = errno;
    int r = ::ioctl(s, SIOCOUTQ, &bytes);
    errno = saved;
    return r == 0 ? bytes : -1;
#else
    (void)s;
    return -1;  // no such count here
#endif
}

void setNoDelay(SocketHandle s) {
    int one = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void setReceiveBufferSize(SocketHandle s, int bytes) {
    ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

int unreadByteCount(SocketHandle s) {
    int count = 0;
    return ::ioctl(s, FIONREAD, &count) == 0 ? count : -1;
}

namespace {
int wholeSeconds(int milliseconds) { return milliseconds < 1000 ? 1 : milliseconds / 1000; }
}  // namespace

void setDeadLinkLimits(SocketHandle s, const DeadLinkLimits& limits) {
    int on = 1;
    ::setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    int idle = wholeSeconds(limits.idleMs);
    int interval = wholeSeconds(limits.keepAliveIntervalMs);
    int probes = limits.keepAliveProbes;
    ::setsockopt(s, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(s, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
#if defined(TCP_USER_TIMEOUT)
    unsigned int unacknowledged = static_cast<unsigned int>(limits.unacknowledgedMs);
    ::setsockopt(s, IPPROTO_TCP, TCP_USER_TIMEOUT, &unacknowledged, sizeof unacknowledged);
#endif
}

void setReuseAddress(SocketHandle s) {
    int one = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
}

SocketHandle openSocket(int family, int type, int protocol) {
    int s = ::socket(family, type | SOCK_CLOEXEC, protocol);
    return s < 0 ? kInvalidSocket : s;
}

int connectSocket(SocketHandle s, const void* address, std::size_t length) {
    return ::connect(s, static_cast<const sockaddr*>(address), static_cast<socklen_t>(length));
}

int connectSocketWithin(SocketHandle s, const void* address, std::size_t length, int timeoutMs) {
    setNonBlocking(s, true);
    int r = ::connect(s, static_cast<const sockaddr*>(address), static_cast<socklen_t>(length));
    if (r != 0 && errno == EINPROGRESS) {
        int ready = systemWaitSocket(s, WaitFor::Write, timeoutMs);
        int error = ready == 0 ? ETIMEDOUT : errno;
        socklen_t size = sizeof error;
        if (ready > 0) ::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &size);
        r = error == 0 ? 0 : -1;
        errno = error;
    }
    int saved = errno;
    setNonBlocking(s, false);
    errno = saved;
    return r;
}

int bindSocket(SocketHandle s, const void* address, std::size_t length) {
    return ::bind(s, static_cast<const sockaddr*>(address), static_cast<socklen_t>(length));
}

int listenSocket(SocketHandle s, int backlog) { return ::listen(s, backlog); }

SocketHandle acceptSocket(SocketHandle listening) {
    int c;
    do {
        c = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
    } while (c < 0 && errno == EINTR);
    return c < 0 ? kInvalidSocket : c;
}

int systemWaitSocket(SocketHandle s, WaitFor what, int timeoutMs) {
    pollfd p{};
    p.fd = s;
    p.events = what == WaitFor::Read ? POLLIN : POLLOUT;
    for (;;) {
        int r = ::poll(&p, 1, timeoutMs);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        return r == 0 ? 0 : 1;
    }
}

int waitReadable(const SocketHandle* sockets, bool* readable, int count, int timeoutMs) {
    std::vector<pollfd> polled(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < polled.size(); ++i) polled[i] = pollfd{sockets[i], POLLIN, 0};
    int r;
    do {
        r = ::poll(polled.data(), static_cast<nfds_t>(polled.size()), timeoutMs);
    } while (r < 0 && errno == EINTR);
    for (std::size_t i = 0; i < polled.size(); ++i) readable[i] = r > 0 && polled[i].revents != 0;
    return r < 0 ? -1 : r;
}

bool isWouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

bool isAddressUnavailable(int error) { return error == EADDRNOTAVAIL || error == EAFNOSUPPORT; }

bool sendErrorLeavesStreamUndefined(int) { return false; }

int socketPair(SocketHandle pair[2]) {
    int fds[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return -1;
    pair[0] = fds[0];
    pair[1] = fds[1];
    return 0;
}

void abortSocket(SocketHandle s) {
    if (s == kInvalidSocket) return;
    linger off{1, 0};
    ::setsockopt(s, SOL_SOCKET, SO_LINGER, &off, sizeof off);
    closeSocket(s);
}

}  // namespace kolv
