#pragma once
// Loopback sockets for the tests: free ports, a buffered stream (plain or
// TLS) with line reads, and the local chat client side of the bridge.
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include <sys/socket.h>

#include "harness/common.h"

struct ssl_st;

namespace kolvtest {

// The bridge uses one port text twice: towards the host (a FakeHost on
// 127.0.0.2:P) and for its local listener ("localhost":P). Returns a port
// that is free on 127.0.0.1, on 127.0.0.2 and on ::1 at the time of the
// call (found by binding port 0 on 127.0.0.1). Nothing listens on it
// afterwards, so it also serves as a closed port. Throws HarnessError.
int freePort();

// One end of a TCP connection, optionally with a TLS session on it, owning
// both. Reads are buffered: readSome, readLine and readUntil consume from the
// same buffer. One reader and one writer may use it from two threads at
// once; close() only when no other thread is using it.
class SocketStream {
public:
    // Takes ownership of fd (made non-blocking) and ssl (may be null).
    explicit SocketStream(int fd, ssl_st* ssl = nullptr);
    ~SocketStream();
    SocketStream(const SocketStream&) = delete;
    SocketStream& operator=(const SocketStream&) = delete;

    bool isTls() const { return tls_; }

    // Sends all of data; false on error, on a closed stream or at the deadline.
    bool send(std::string_view data, Millis timeout = Millis(5000));

    // What the next read returns: buffered bytes if there are any, else the
    // bytes of one read. Empty at the deadline or when the peer has closed.
    std::string readSome(Millis timeout) { return readSomeBy(deadlineAfter(timeout)); }
    std::string readSomeBy(Clock::time_point deadline);

    // The next line, with its "\n". Nothing at the deadline, or when the
    // stream ends first (a partial last line stays in buffered()).
    std::optional<std::string> readLine(Millis timeout) { return readLineBy(deadlineAfter(timeout)); }
    std::optional<std::string> readLineBy(Clock::time_point deadline);

    // Reads until the bytes not yet consumed contain needle; then consumes
    // up to and including it and returns them. Nothing at the deadline or end.
    std::optional<std::string> readUntil(std::string_view needle, Millis timeout);

    // True once the peer has closed (end of stream or reset) within timeout;
    // bytes that arrive meanwhile are kept in buffered().
    bool waitClosed(Millis timeout);
    bool peerClosed() const { return peerClosed_.load(); }

    // Received bytes not yet consumed.
    std::string buffered() const;

    // Sends the TLS close notice (if TLS) and closes the socket. Idempotent;
    // later sends fail and reads return nothing.
    void close();

    // Puts bytes back in front of the unconsumed ones.
    void unread(std::string_view bytes);

private:
    // One read into the buffer; false at the deadline, on end or error.
    bool fill(Clock::time_point deadline);  // readMutex_ held

    const int fd_;
    const bool tls_;
    ssl_st* ssl_;                   // guarded by ioMutex_
    std::mutex ioMutex_;            // every call on fd_ or ssl_ except poll, and closing
    mutable std::mutex readMutex_;  // buffer_ and the read side
    std::string buffer_;
    std::atomic<bool> peerClosed_{false};
    std::atomic<bool> closed_{false};  // set under ioMutex_
};

// Connects to host:port (numeric address) once, waiting at most timeout.
// Returns the connected fd (blocking, close-on-exec) or -1.
int connectTcp(const std::string& host, int port, Millis timeout);
int connectTcpBy(const std::string& host, int port, Clock::time_point deadline);

// The address at which the bridge listens for local clients: the first
// address of "localhost" (the bridge binds only that one; 127.0.0.1 here).
std::string localListenAddress();

// A local chat client of the bridge. connect() retries refused connections
// until its deadline, because the bridge opens its listener only after its
// first handshake with the host.
class LocalClient {
public:
    LocalClient() = default;
    ~LocalClient() = default;
    LocalClient(const LocalClient&) = delete;
    LocalClient& operator=(const LocalClient&) = delete;

    bool connect(int port, Millis timeout);
    bool connected() const { return stream_ != nullptr; }

    // These need connect() to have succeeded (else they fail / return nothing).
    bool send(std::string_view data);
    std::optional<std::string> readLine(Millis timeout);
    std::optional<std::string> readUntil(std::string_view needle, Millis timeout);
    bool waitClosed(Millis timeout);
    void close();

    SocketStream* stream() { return stream_.get(); }

private:
    std::unique_ptr<SocketStream> stream_;
};

// A numeric IPv4 or IPv6 address text and a port as a socket address; false
// when host is not a numeric address.
bool fillAddress(const std::string& host, int port, sockaddr_storage& address, socklen_t& length);

// One connection attempt to the bridge's local port; true when it was
// accepted (the connection is closed again at once).
bool localPortAccepts(int port, Millis timeout = Millis(1000));

}  // namespace kolvtest
