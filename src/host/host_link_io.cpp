#include "host/host_link_io.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "app/bridge_state.h"
#include "packet/packet_checksum.h"
#include "platform/send_all.h"

namespace kolv {
namespace {

using SteadyClock = std::chrono::steady_clock;

// Writers take turns in the order they came, and after a new link's
// handshake they wait until the host has spoken or kHostHoldWritesMs has passed:
// a host that reads late must find the handshake alone, not glued to a relay.
struct WriteQueue {
    std::mutex mutex;
    std::condition_variable changed;
    std::uint64_t nextTicket = 0;     // guarded by mutex
    std::uint64_t servingTicket = 0;  // guarded by mutex
    bool holding = false;             // guarded by mutex
    SteadyClock::time_point holdUntil;  // guarded by mutex
};

WriteQueue& writeQueue() {
    static auto* queue = new WriteQueue();  // never destroyed: used by detached threads
    return *queue;
}

// One writer's turn at the link, from its arrival until its write is done.
class WriteTurn {
public:
    WriteTurn() : queue_(writeQueue()) {
        std::unique_lock<std::mutex> lock(queue_.mutex);
        const std::uint64_t ticket = queue_.nextTicket++;
        queue_.changed.wait(lock, [&] { return queue_.servingTicket == ticket; });
        while (queue_.holding && queue_.changed.wait_until(lock, queue_.holdUntil) != std::cv_status::timeout) {
        }
        queue_.holding = false;
    }
    ~WriteTurn() {
        {
            std::lock_guard<std::mutex> lock(queue_.mutex);
            ++queue_.servingTicket;
        }
        queue_.changed.notify_all();
    }
    WriteTurn(const WriteTurn&) = delete;
    WriteTurn& operator=(const WriteTurn&) = delete;

private:
    WriteQueue& queue_;
};

void setHolding(bool holding) {
    WriteQueue& queue = writeQueue();
    {
        std::lock_guard<std::mutex> lock(queue.mutex);
        queue.holding = holding;
        queue.holdUntil = SteadyClock::now() + std::chrono::milliseconds(kHostHoldWritesMs);
    }
    queue.changed.notify_all();
}

int clampLength(std::size_t length) { return length > INT_MAX ? INT_MAX : static_cast<int>(length); }

// The stream is cut: no byte more goes to this link. Shutting the socket down
// wakes the receive loop, which reports the lost link as any other.
void breakLinkLocked(BridgeState& state) {
    state.linkBroken = true;
    shutdownBoth(state.hostSocket.load());
}

// TLS write on the non-blocking link socket; linkMutex is held. A record the
// library has begun to send must be finished with the same call, so once
// SSL_write has been called a failure breaks the link.
long tlsWriteLocked(BridgeState& state, const char* data, std::size_t length, int& errorCode) {
    SSL* ssl = state.tlsConnection;
    const SocketHandle socket = state.hostSocket.load();
    const std::int64_t deadline = nowUnixMs() + kHostWriteTimeoutMs;
    for (;;) {
        ERR_clear_error();
        int n = SSL_write(ssl, data, clampLength(length));
        if (n > 0) return n;
        int error = SSL_get_error(ssl, n);
        std::int64_t left = deadline - nowUnixMs();
        bool retry = (error == SSL_ERROR_WANT_WRITE || error == SSL_ERROR_WANT_READ) && left > 0 &&
                     waitSocket(socket, error == SSL_ERROR_WANT_WRITE ? WaitFor::Write : WaitFor::Read,
                                static_cast<int>(left)) > 0;
        if (!retry) {
            errorCode = error;
            breakLinkLocked(state);
            return -1;
        }
    }
}

long writeLocked(BridgeState& state, const char* data, std::size_t length, int& errorCode) {
    const SocketHandle socket = state.hostSocket.load();
    const bool tls = state.tlsActive.load();
    if (socket == kInvalidSocket || state.linkBroken) {
        errorCode = notSocketError();
        return -1;
    }
    // A host that has taken nothing for the whole bound fails the write
    // before any byte of it goes out; the link stays.
    if (waitSocket(socket, WaitFor::Write, kHostWriteTimeoutMs) <= 0) {
        errorCode = tls ? SSL_ERROR_WANT_WRITE : timedOutError();
        return -1;
    }
    if (tls) return tlsWriteLocked(state, data, length, errorCode);
    std::size_t wentOut = 0;
    long n = socketSendAll(socket, data, length, wentOut);
    if (n < 0) {
        errorCode = lastSocketError();
        if (wentOut > 0) breakLinkLocked(state);
    }
    return n;
}

}  // namespace

long writeHostLink(const char* data, std::size_t length, int& errorCode) {
    WriteTurn turn;
    BridgeState& state = bridgeState();
    std::lock_guard<std::mutex> lock(state.linkMutex);
    return writeLocked(state, data, length, errorCode);
}

void releaseHeldWrites() {
    WriteQueue& queue = writeQueue();
    {
        std::lock_guard<std::mutex> lock(queue.mutex);
        if (!queue.holding) return;
        queue.holding = false;
    }
    queue.changed.notify_all();
}

long openHostLinkWithHandshake(SocketHandle socket, ssl_ctx_st* context, ssl_st* connection,
                               const char* handshake, int& errorCode) {
    // In the queue like any writer, so that a relay that came first fails on
    // the link that is not up yet instead of following the handshake.
    WriteTurn turn;
    BridgeState& state = bridgeState();
    long n;
    {
        std::lock_guard<std::mutex> lock(state.linkMutex);
        setSendTimeout(socket, kHostWriteTimeoutMs);
        setNoDelay(socket);
        if (connection != nullptr) setNonBlocking(socket, true);
        state.tlsContext = context;
        state.tlsConnection = connection;
        state.hostSocket.store(socket);
        state.tlsActive.store(connection != nullptr);
        state.linkBroken = false;
        n = writeLocked(state, handshake, std::strlen(handshake), errorCode);
    }
    if (n != -1) setHolding(true);
    return n;
}

// TLS read under the lock without blocking; the wait for the socket is
// outside it, so that senders can write meanwhile, and bounded, so that a
// link a sender has broken is noticed even where the shutdown wakes no wait.
long readTlsLink(BridgeState& state, char* buffer, std::size_t size, int& errorCode) {
    constexpr int kWaitSliceMs = 500;
    for (;;) {
        int error;
        {
            std::lock_guard<std::mutex> lock(state.linkMutex);
            SSL* ssl = state.tlsConnection;
            ERR_clear_error();
            int n = SSL_read(ssl, buffer, clampLength(size));
            if (n > 0) return n;
            error = SSL_get_error(ssl, n);
            bool again = error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE;
            if (!again || state.linkBroken) {
                errorCode = again ? SSL_ERROR_SYSCALL : error;
                return again ? -1 : n;
            }
        }
        WaitFor what = error == SSL_ERROR_WANT_WRITE ? WaitFor::Write : WaitFor::Read;
        if (waitSocket(state.hostSocket.load(), what, kWaitSliceMs) < 0) {
            errorCode = SSL_ERROR_SYSCALL;
            return -1;
        }
    }
}

long readHostLink(char* buffer, std::size_t size, int& errorCode) {
    BridgeState& state = bridgeState();
    if (state.tlsActive.load()) return readTlsLink(state, buffer, size, errorCode);
    long n = socketRecv(state.hostSocket.load(), buffer, size);
    if (n < 0) errorCode = lastSocketError();
    if (n == 0) errorCode = 0;  // an orderly close leaves no error behind
    return n;
}

void closeHostLink() {
    setHolding(false);
    BridgeState& state = bridgeState();
    std::lock_guard<std::mutex> lock(state.linkMutex);
    SocketHandle socket = state.hostSocket.exchange(kInvalidSocket);
    bool tls = state.tlsActive.exchange(false);
    if (tls && state.tlsConnection != nullptr && !state.linkBroken) {
        // The close notice goes out while the descriptor is still ours.
        SSL_shutdown(state.tlsConnection);
    }
    if (socket != kInvalidSocket) {
        shutdownSend(socket);
        closeSocket(socket);
    }
    if (state.tlsConnection != nullptr) SSL_free(state.tlsConnection);
    if (state.tlsContext != nullptr) SSL_CTX_free(state.tlsContext);
    state.tlsConnection = nullptr;
    state.tlsContext = nullptr;
    ERR_clear_error();
}

}  // namespace kolv
