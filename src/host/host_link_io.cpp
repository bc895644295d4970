#include "host/host_link_io.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <climits>
#include <cstring>
#include <mutex>

#include "app/bridge_state.h"
#include "packet/packet_checksum.h"
#include "platform/send_all.h"

namespace kolv {
namespace {

int clampLength(std::size_t length) { return length > INT_MAX ? INT_MAX : static_cast<int>(length); }

// TLS write on the non-blocking link socket; linkMutex is held. Waits for the
// socket within the write bound whenever the library asks to.
long tlsWriteLocked(SSL* ssl, SocketHandle socket, const char* data, std::size_t length, int& errorCode) {
    std::int64_t deadline = nowUnixMs() + kHostWriteTimeoutMs;
    for (;;) {
        ERR_clear_error();
        int n = SSL_write(ssl, data, clampLength(length));
        if (n > 0) return n;
        int error = SSL_get_error(ssl, n);
        if (error != SSL_ERROR_WANT_WRITE && error != SSL_ERROR_WANT_READ) {
            errorCode = error;
            return -1;
        }
        std::int64_t left = deadline - nowUnixMs();
        if (left <= 0 ||
            waitSocket(socket, error == SSL_ERROR_WANT_WRITE ? WaitFor::Write : WaitFor::Read,
                       static_cast<int>(left)) <= 0) {
            errorCode = error;
            return -1;
        }
    }
}

long writeLocked(BridgeState& state, const char* data, std::size_t length, int& errorCode) {
    SocketHandle socket = state.hostSocket.load();
    if (state.tlsActive.load()) return tlsWriteLocked(state.tlsConnection, socket, data, length, errorCode);
    if (socket == kInvalidSocket) {
        errorCode = notSocketError();
        return -1;
    }
    long n = socketSendAll(socket, data, length);
    if (n < 0) errorCode = lastSocketError();
    return n;
}

}  // namespace

long writeHostLink(const char* data, std::size_t length, int& errorCode) {
    BridgeState& state = bridgeState();
    std::lock_guard<std::mutex> lock(state.linkMutex);
    return writeLocked(state, data, length, errorCode);
}

long openHostLinkWithHandshake(SocketHandle socket, ssl_ctx_st* context, ssl_st* connection,
                               const char* handshake, int& errorCode) {
    BridgeState& state = bridgeState();
    std::lock_guard<std::mutex> lock(state.linkMutex);
    setSendTimeout(socket, kHostWriteTimeoutMs);
    setNoDelay(socket);
    if (connection != nullptr) setNonBlocking(socket, true);
    state.tlsContext = context;
    state.tlsConnection = connection;
    state.hostSocket.store(socket);
    state.tlsActive.store(connection != nullptr);
    return writeLocked(state, handshake, std::strlen(handshake), errorCode);
}

long readHostLink(char* buffer, std::size_t size, int& errorCode) {
    BridgeState& state = bridgeState();
    SocketHandle socket = state.hostSocket.load();
    if (!state.tlsActive.load()) {
        long n = socketRecv(socket, buffer, size);
        if (n < 0) errorCode = lastSocketError();
        if (n == 0) errorCode = 0;  // an orderly close leaves no error behind
        return n;
    }
    // TLS: read under the lock without blocking; wait for the socket outside
    // it so that senders can write meanwhile.
    for (;;) {
        int error;
        {
            std::lock_guard<std::mutex> lock(state.linkMutex);
            SSL* ssl = state.tlsConnection;
            ERR_clear_error();
            int n = SSL_read(ssl, buffer, clampLength(size));
            if (n > 0) return n;
            error = SSL_get_error(ssl, n);
            if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
                errorCode = error;
                return n;
            }
        }
        if (waitSocket(socket, error == SSL_ERROR_WANT_WRITE ? WaitFor::Write : WaitFor::Read, -1) < 0) {
            errorCode = SSL_ERROR_SYSCALL;
            return -1;
        }
    }
}

void closeHostLink() {
    BridgeState& state = bridgeState();
    std::lock_guard<std::mutex> lock(state.linkMutex);
    SocketHandle socket = state.hostSocket.exchange(kInvalidSocket);
    bool tls = state.tlsActive.exchange(false);
    if (tls && state.tlsConnection != nullptr) {
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
