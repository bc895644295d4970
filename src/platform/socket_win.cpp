#include "platform/socket.h"

#include "platform/system.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>

#include <climits>
#include <initializer_list>
#include <vector>

namespace kolv {
namespace {

// Socket values are kernel handles, small enough for 32 bits: the int handle
// round-trips through SOCKET unchanged.
SOCKET native(SocketHandle s) {
    return s == kInvalidSocket ? INVALID_SOCKET : static_cast<SOCKET>(static_cast<unsigned int>(s));
}

// A new socket as a handle; one that would not fit is closed and refused.
SocketHandle adopt(SOCKET s) {
    if (s == INVALID_SOCKET) return kInvalidSocket;
    if (s > static_cast<SOCKET>(INT_MAX)) {
        ::closesocket(s);
        ::WSASetLastError(WSAEMFILE);
        return kInvalidSocket;
    }
    return static_cast<SocketHandle>(s);
}

int resultOf(int r) { return r == SOCKET_ERROR ? -1 : r; }

}  // namespace

int notSocketError() { return WSAENOTSOCK; }

int timedOutError() { return WSAETIMEDOUT; }

int socketStartup() {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data);
}

void socketCleanup() { ::WSACleanup(); }

int lastSocketError() { return ::WSAGetLastError(); }

void setLastSocketError(int error) { ::WSASetLastError(error); }

void closeSocket(SocketHandle s) {
    if (s == kInvalidSocket) return;
    int saved = ::WSAGetLastError();
    ::closesocket(native(s));
    ::WSASetLastError(saved);
}

void shutdownSend(SocketHandle s) {
    int saved = ::WSAGetLastError();
    ::shutdown(native(s), SD_SEND);
    ::WSASetLastError(saved);
}

void shutdownBoth(SocketHandle s) {
    int saved = ::WSAGetLastError();
    ::shutdown(native(s), SD_BOTH);
    // shutdown alone need not wake a thread already blocked in recv here;
    // cancelling the socket's pending I/O does, as the POSIX shutdown would.
    ::CancelIoEx(reinterpret_cast<HANDLE>(native(s)), nullptr);
    ::WSASetLastError(saved);
}

long systemSocketSend(SocketHandle s, const void* data, std::size_t len) {
    if (s == kInvalidSocket) {
        ::WSASetLastError(WSAENOTSOCK);
        return -1;
    }
    return resultOf(::send(native(s), static_cast<const char*>(data), clampToInt(len), 0));
}

long systemSocketRecv(SocketHandle s, void* data, std::size_t len) {
    return resultOf(::recv(native(s), static_cast<char*>(data), clampToInt(len), 0));
}

bool setNonBlocking(SocketHandle s, bool on) {
    u_long mode = on ? 1 : 0;
    return ::ioctlsocket(native(s), static_cast<long>(FIONBIO), &mode) == 0;  // the macro is unsigned
}

void setSendTimeout(SocketHandle s, int milliseconds) {
    DWORD timeout = milliseconds > 0 ? static_cast<DWORD>(milliseconds) : 0;
    ::setsockopt(native(s), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
}

void setSendBufferSize(SocketHandle s, int bytes) {
    ::setsockopt(native(s), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes);
}

// Windows keeps no count of unacknowledged bytes that a program can ask for.
int unsentByteCount(SocketHandle) { return -1; }

// Windows already lets a listener bind again while old connections linger;
// its SO_REUSEADDR would instead let a second program take a port in use.
void setReuseAddress(SocketHandle) {}

void setNoDelay(SocketHandle s) {
    BOOL one = TRUE;
    ::setsockopt(native(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

void setReceiveBufferSize(SocketHandle s, int bytes) {
    ::setsockopt(native(s), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes);
}

int unreadByteCount(SocketHandle s) {
    u_long count = 0;
    if (::ioctlsocket(native(s), static_cast<long>(FIONREAD), &count) != 0) return -1;  // the macro is unsigned
    return count > static_cast<u_long>(INT_MAX) ? INT_MAX : static_cast<int>(count);
}

// Newer SDKs name these; older MinGW headers do not.
#ifndef TCP_MAXRT
#define TCP_MAXRT 5
#endif
#ifndef TCP_KEEPCNT
#define TCP_KEEPCNT 16
#endif

// Keep-alive times per connection through SIO_KEEPALIVE_VALS; the probe count
// (Windows 10 1703 and later) and the retransmission limit in seconds
// (TCP_MAXRT) are refused by older systems, which keep their defaults.
void setDeadLinkLimits(SocketHandle s, const DeadLinkLimits& limits) {
    tcp_keepalive values{1, static_cast<ULONG>(limits.idleMs), static_cast<ULONG>(limits.keepAliveIntervalMs)};
    DWORD returned = 0;
    ::WSAIoctl(native(s), SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr, nullptr);
    DWORD probes = static_cast<DWORD>(limits.keepAliveProbes);
    ::setsockopt(native(s), IPPROTO_TCP, TCP_KEEPCNT, reinterpret_cast<const char*>(&probes), sizeof probes);
    DWORD seconds = static_cast<DWORD>(limits.unacknowledgedMs < 1000 ? 1 : limits.unacknowledgedMs / 1000);
    ::setsockopt(native(s), IPPROTO_TCP, TCP_MAXRT, reinterpret_cast<const char*>(&seconds), sizeof seconds);
}

SocketHandle openSocket(int family, int type, int protocol) {
    return adopt(::WSASocketW(family, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT));
}

int connectSocket(SocketHandle s, const void* address, std::size_t length) {
    return resultOf(::connect(native(s), static_cast<const sockaddr*>(address), clampToInt(length)));
}

// select, not WSAPoll: WSAPoll does not report every failed connect.
int connectSocketWithin(SocketHandle s, const void* address, std::size_t length, int timeoutMs) {
    setNonBlocking(s, true);
    int r = resultOf(::connect(native(s), static_cast<const sockaddr*>(address), clampToInt(length)));
    if (r != 0 && ::WSAGetLastError() == WSAEWOULDBLOCK) {
        fd_set writable;
        fd_set failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(native(s), &writable);
        FD_SET(native(s), &failed);
        timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        int ready = ::select(0, nullptr, &writable, &failed, &limit);
        int error = ready == 0 ? WSAETIMEDOUT : ::WSAGetLastError();
        int size = sizeof error;
        if (ready > 0) ::getsockopt(native(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size);
        r = error == 0 ? 0 : -1;
        ::WSASetLastError(error);
    }
    int saved = ::WSAGetLastError();
    setNonBlocking(s, false);
    ::WSASetLastError(saved);
    return r;
}

int bindSocket(SocketHandle s, const void* address, std::size_t length) {
    return resultOf(::bind(native(s), static_cast<const sockaddr*>(address), clampToInt(length)));
}

int listenSocket(SocketHandle s, int backlog) { return resultOf(::listen(native(s), backlog)); }

SocketHandle acceptSocket(SocketHandle listening) { return adopt(::accept(native(listening), nullptr, nullptr)); }

int systemWaitSocket(SocketHandle s, WaitFor what, int timeoutMs) {
    WSAPOLLFD p{};
    p.fd = native(s);
    p.events = what == WaitFor::Read ? POLLRDNORM : POLLWRNORM;
    int r = ::WSAPoll(&p, 1, timeoutMs < 0 ? -1 : timeoutMs);
    if (r == SOCKET_ERROR) return -1;
    return r == 0 ? 0 : 1;
}

int waitReadable(const SocketHandle* sockets, bool* readable, int count, int timeoutMs) {
    std::vector<WSAPOLLFD> polled(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < polled.size(); ++i) {
        polled[i].fd = native(sockets[i]);
        polled[i].events = POLLRDNORM;
    }
    int r = ::WSAPoll(polled.data(), static_cast<ULONG>(polled.size()), timeoutMs < 0 ? -1 : timeoutMs);
    for (std::size_t i = 0; i < polled.size(); ++i) readable[i] = r > 0 && polled[i].revents != 0;
    return r == SOCKET_ERROR ? -1 : r;
}

bool isAddressUnavailable(int error) { return error == WSAEADDRNOTAVAIL || error == WSAEAFNOSUPPORT; }

// A blocking send that ran into SO_SNDTIMEO reports WSAETIMEDOUT here.
bool isWouldBlock(int error) { return error == WSAEWOULDBLOCK || error == WSAETIMEDOUT; }

// A blocking send that timed out tells no count, and the socket's state is
// then undefined.
bool sendErrorLeavesStreamUndefined(int error) { return error == WSAETIMEDOUT; }

// No socketpair here: a loopback TCP connection, without Nagle delays so that
// what one end sends is at the other end as soon as possible.
int socketPair(SocketHandle pair[2]) {
    pair[0] = pair[1] = kInvalidSocket;
    // Tests make pairs without starting the sockets layer; a start per pair is
    // never matched by a clean-up, which only keeps the layer up.
    int started = socketStartup();
    if (started != 0) {
        ::WSASetLastError(started);
        return -1;
    }
    SocketHandle listening = openSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listening == kInvalidSocket) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    int length = sizeof address;
    SocketHandle a = kInvalidSocket;
    SocketHandle b = kInvalidSocket;
    bool ok = bindSocket(listening, &address, sizeof address) == 0 && listenSocket(listening, 1) == 0 &&
              ::getsockname(native(listening), reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
              (a = openSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP)) != kInvalidSocket &&
              connectSocket(a, &address, sizeof address) == 0 && (b = acceptSocket(listening)) != kInvalidSocket;
    closeSocket(listening);
    if (!ok) {
        closeSocket(a);
        closeSocket(b);
        return -1;
    }
    BOOL on = TRUE;
    for (SocketHandle s : {a, b}) {
        ::setsockopt(native(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    }
    pair[0] = a;
    pair[1] = b;
    return 0;
}

// With a zero linger time the close resets the connection.
void abortSocket(SocketHandle s) {
    if (s == kInvalidSocket) return;
    linger off{1, 0};
    ::setsockopt(native(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&off), sizeof off);
    closeSocket(s);
}

}  // namespace kolv
