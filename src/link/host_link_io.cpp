#include "link/host_link_io.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <utility>

#include "link/dead_link.h"
#include "link/lifecycle.h"
#include "output/report.h"
#include "platform/mutex.h"
#include "platform/send_all.h"
#include "platform/system.h"

namespace kolv {
namespace {

using SteadyClock = std::chrono::steady_clock;

// The open link. `mutex` is held for every write, for every use of the TLS
// session, and while the link opens or closes, so a writer never touches a
// freed TLS object or a closed descriptor. The plain read waits and reads
// without it: the kernel keeps a send and a recv on one socket apart.
struct HostLink {
    Mutex mutex;
    std::atomic<SocketHandle> socket{kInvalidSocket};  // stored under mutex
    std::atomic<bool> tlsActive{false};                 // stored under mutex
    TlsSession tls GUARDED_BY(mutex);
    // Set when a write failed after part of it went out, or TLS failed for
    // good: the stream is cut, so nothing more is written to this link.
    bool broken GUARDED_BY(mutex) = false;
    // When writes began to find no room (the start of the first pre-write
    // wait that ran out since the host last took data); 0 while it takes data.
    std::int64_t stalledSinceMs GUARDED_BY(mutex) = 0;
};

HostLink& hostLink() {
    static auto* link = new HostLink();  // never destroyed: used by detached threads
    return *link;
}

// Writers take turns in the order they came, and after a new link's
// handshake they wait until the host has spoken or kHostHoldWritesMs has passed:
// a host that reads late must find the handshake alone, not glued to a relay.
// Each ticket waits on its own condition (tickets kTurnSlots apart share
// one), so a finished write wakes the next writer only, not all of them.
constexpr std::size_t kTurnSlots = 64;

struct WriteQueue {
    Mutex mutex;
    std::array<CondVar, kTurnSlots> turn;
    std::uint64_t nextTicket GUARDED_BY(mutex) = 0;
    std::uint64_t servingTicket GUARDED_BY(mutex) = 0;
    bool holding GUARDED_BY(mutex) = false;
    SteadyClock::time_point holdUntil GUARDED_BY(mutex);

    CondVar& turnOf(std::uint64_t ticket) { return turn[ticket % kTurnSlots]; }
    // Wakes the writer whose turn it is; after the lock is released.
    void wakeServing(std::uint64_t serving) { turnOf(serving).notifyAll(); }
};

WriteQueue& writeQueue() {
    static auto* queue = new WriteQueue();  // never destroyed: used by detached threads
    return *queue;
}

// One writer's turn at the link, from its arrival until its write is done.
// The queue's lock is never held while the link's is.
class WriteTurn {
public:
    WriteTurn() : queue_(writeQueue()) {
        MutexLock lock(queue_.mutex);
        const std::uint64_t ticket = queue_.nextTicket++;
        CondVar& mine = queue_.turnOf(ticket);
        while (queue_.servingTicket != ticket) mine.wait(queue_.mutex);
        while (queue_.holding && mine.waitUntil(queue_.mutex, queue_.holdUntil)) {
        }
        queue_.holding = false;
    }
    ~WriteTurn() {
        std::uint64_t serving;
        {
            MutexLock lock(queue_.mutex);
            serving = ++queue_.servingTicket;
        }
        queue_.wakeServing(serving);
    }
    WriteTurn(const WriteTurn&) = delete;
    WriteTurn& operator=(const WriteTurn&) = delete;

private:
    WriteQueue& queue_;
};

void setHolding(bool holding) {
    WriteQueue& queue = writeQueue();
    std::uint64_t serving;
    {
        MutexLock lock(queue.mutex);
        queue.holding = holding;
        queue.holdUntil = SteadyClock::now() + std::chrono::milliseconds(kHostHoldWritesMs);
        serving = queue.servingTicket;
    }
    queue.wakeServing(serving);
}

// The stream is cut: no byte more goes to this link. Shutting the socket down
// wakes the receive loop, which reports the lost link as any other.
void breakLinkLocked(HostLink& link) REQUIRES(link.mutex) {
    link.broken = true;
    shutdownBoth(link.socket.load());
}

// TLS write on the non-blocking link socket. A record the library has begun
// to send must be finished with the same call, so once SSL_write has been
// called a failure breaks the link.
long tlsWriteLocked(HostLink& link, const char* data, std::size_t length, int& errorCode) REQUIRES(link.mutex) {
    SSL* ssl = link.tls.connection.get();
    const SocketHandle socket = link.socket.load();
    const std::int64_t deadline = steadyMs() + kHostWriteTimeoutMs;
    for (;;) {
        ERR_clear_error();
        int n = SSL_write(ssl, data, clampToInt(length));
        if (n > 0) return n;
        int error = SSL_get_error(ssl, n);
        std::int64_t left = deadline - steadyMs();
        bool retry = (error == SSL_ERROR_WANT_WRITE || error == SSL_ERROR_WANT_READ) && left > 0 &&
                     waitSocket(socket, error == SSL_ERROR_WANT_WRITE ? WaitFor::Write : WaitFor::Read,
                                static_cast<int>(left)) > 0;
        if (!retry) {
            errorCode = error;
            breakLinkLocked(link);
            return -1;
        }
    }
}

// A pre-write wait ran out: the write fails before any byte of it goes out,
// and the link stays, unless the host has taken nothing for deadLinkMs():
// then it is broken, and the seconds it stalled are returned.
std::int64_t noteStalledLocked(HostLink& link, std::int64_t waitStarted) REQUIRES(link.mutex) {
    if (link.stalledSinceMs == 0) link.stalledSinceMs = waitStarted;
    const std::int64_t stalled = steadyMs() - link.stalledSinceMs;
    if (stalled < deadLinkMs()) return 0;
    breakLinkLocked(link);
    return std::max<std::int64_t>(stalled / 1000, 1);
}

// stalledSeconds is set when this write found the host stalled for good.
long writeLocked(HostLink& link, const char* data, std::size_t length, int& errorCode, std::int64_t& stalledSeconds)
    REQUIRES(link.mutex) {
    const SocketHandle socket = link.socket.load();
    const bool tls = link.tlsActive.load();
    if (socket == kInvalidSocket || link.broken) {
        errorCode = notSocketError();
        return -1;
    }
    const std::int64_t waitStarted = steadyMs();
    if (waitSocket(socket, WaitFor::Write, kHostWriteTimeoutMs) <= 0) {
        errorCode = tls ? SSL_ERROR_WANT_WRITE : timedOutError();
        stalledSeconds = noteStalledLocked(link, waitStarted);
        return -1;
    }
    link.stalledSinceMs = 0;
    if (tls) return tlsWriteLocked(link, data, length, errorCode);
    std::size_t wentOut = 0;
    long n = socketSendAll(socket, data, length, wentOut);
    if (n < 0) {
        errorCode = lastSocketError();
        if (wentOut > 0 || sendErrorLeavesStreamUndefined(errorCode)) breakLinkLocked(link);
    }
    return n;
}

// One SSL_read under the lock, without blocking. False when the library
// waits for the socket (`wait` says for what); otherwise `result` is what
// readHostLink returns, with errorCode set when it is 0 or less.
bool tlsReadLocked(HostLink& link, char* buffer, std::size_t size, int& errorCode, WaitFor& wait, long& result)
    REQUIRES(link.mutex) {
    SSL* ssl = link.tls.connection.get();
    if (ssl == nullptr) {  // closed meanwhile
        errorCode = SSL_ERROR_SYSCALL;
        result = -1;
        return true;
    }
    ERR_clear_error();
    int n = SSL_read(ssl, buffer, clampToInt(size));
    result = n;
    if (n > 0) return true;
    int error = SSL_get_error(ssl, n);
    bool again = error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE;
    if (again && !link.broken) {
        wait = error == SSL_ERROR_WANT_WRITE ? WaitFor::Write : WaitFor::Read;
        return false;
    }
    errorCode = again ? SSL_ERROR_SYSCALL : error;
    if (again) result = -1;
    return true;
}

// Reads wait in slices: each one shows the main thread alive, and a stop
// request or a link a sender has broken is noticed within one, even where a
// shutdown wakes no wait.
constexpr int kReadSliceMs = 500;

// One slice of waiting for the link. False when the read ends here: a stop
// was requested (result 0, errorCode 0) or the wait failed (result -1).
bool waitReadSlice(SocketHandle socket, WaitFor what, bool tls, bool& ready, long& result, int& errorCode) {
    const int waited = waitSocket(socket, what, kReadSliceMs);
    const int waitError = tls ? SSL_ERROR_SYSCALL : lastSocketError();
    noteAlive(Beat::Main);
    ready = waited > 0;
    if (stopRequested()) {
        result = 0;
        errorCode = 0;
        return false;
    }
    if (waited < 0) {
        result = -1;
        errorCode = waitError;
        return false;
    }
    return true;
}

// TLS read; the wait for the socket is outside the lock, so that senders can
// write meanwhile.
long readTlsLink(HostLink& link, char* buffer, std::size_t size, int& errorCode) {
    for (;;) {
        WaitFor wait = WaitFor::Read;
        long result = 0;
        {
            MutexLock lock(link.mutex);
            if (tlsReadLocked(link, buffer, size, errorCode, wait, result)) return result;
        }
        bool ready = false;
        if (!waitReadSlice(link.socket.load(), wait, true, ready, result, errorCode)) return result;
    }
}

long readPlainLink(HostLink& link, char* buffer, std::size_t size, int& errorCode) {
    const SocketHandle socket = link.socket.load();
    for (bool ready = false; !ready;) {
        long result = 0;
        if (!waitReadSlice(socket, WaitFor::Read, false, ready, result, errorCode)) return result;
        if (!ready) {  // a socket a writer shut down need not wake a wait everywhere: the read ends it
            MutexLock lock(link.mutex);
            ready = link.broken;
        }
    }
    long n = socketRecv(socket, buffer, size);
    if (n < 0) errorCode = lastSocketError();
    if (n == 0) errorCode = 0;  // an orderly close leaves no error behind
    return n;
}

}  // namespace

long writeHostLink(const char* data, std::size_t length, int& errorCode) {
    WriteTurn turn;
    HostLink& link = hostLink();
    std::int64_t stalledSeconds = 0;
    long n;
    {
        MutexLock lock(link.mutex);
        n = writeLocked(link, data, length, errorCode, stalledSeconds);
    }
    if (stalledSeconds > 0) {
        reportFormatted("Host has taken no data for %lld s: replacing the link.", static_cast<long long>(stalledSeconds));
    }
    return n;
}

void releaseHeldWrites() {
    WriteQueue& queue = writeQueue();
    std::uint64_t serving;
    {
        MutexLock lock(queue.mutex);
        if (!queue.holding) return;
        queue.holding = false;
        serving = queue.servingTicket;
    }
    queue.wakeServing(serving);
}

long openHostLinkWithHandshake(SocketHandle socket, TlsSession tls, const char* handshake, int& errorCode) {
    // In the queue like any writer, so that a relay that came first fails on
    // the link that is not up yet instead of following the handshake.
    WriteTurn turn;
    HostLink& link = hostLink();
    long n;
    {
        MutexLock lock(link.mutex);
        setSendTimeout(socket, kHostWriteTimeoutMs);
        setSendBufferSize(socket, kHostSendBufferBytes);
        setNoDelay(socket);
        setDeadLinkLimits(socket, deadLinkLimits());
        const bool useTls = tls.connection != nullptr;
        if (useTls) setNonBlocking(socket, true);
        link.tls = std::move(tls);
        link.socket.store(socket);
        link.tlsActive.store(useTls);
        link.broken = false;
        link.stalledSinceMs = 0;
        std::int64_t stalledSeconds = 0;  // a new link cannot have stalled for long
        n = writeLocked(link, handshake, std::strlen(handshake), errorCode, stalledSeconds);
    }
    if (n != -1) setHolding(true);
    return n;
}

long readHostLink(char* buffer, std::size_t size, int& errorCode) {
    HostLink& link = hostLink();
    if (link.tlsActive.load()) return readTlsLink(link, buffer, size, errorCode);
    return readPlainLink(link, buffer, size, errorCode);
}

void closeHostLink() {
    setHolding(false);
    HostLink& link = hostLink();
    int unsent = -1;
    {
        MutexLock lock(link.mutex);
        SocketHandle socket = link.socket.exchange(kInvalidSocket);
        // Counted before the close notice adds to it.
        if (socket != kInvalidSocket) unsent = unsentByteCount(socket);
        bool tls = link.tlsActive.exchange(false);
        if (tls && link.tls.connection != nullptr && !link.broken) {
            // The close notice goes out while the descriptor is still ours.
            SSL_shutdown(link.tls.connection.get());
        }
        if (socket != kInvalidSocket) {
            shutdownSend(socket);
            closeSocket(socket);
        }
        link.tls = TlsSession{};
        ERR_clear_error();
    }
    if (unsent > 0) reportFormatted("Host link ended with %d bytes unsent; they are lost.", unsent);
}

bool hostLinkUsesTls() { return hostLink().tlsActive.load(); }

}  // namespace kolv
