#pragma once
// A stand-in for the chat host: listens on 127.0.0.2:P and hands each
// connection of the bridge to the test.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "harness/common.h"
#include "harness/net.h"

struct ssl_ctx_st;

namespace kolvtest {

enum class HostMode {
    // Plain TCP.
    Plain,
    // TLS server with a self-signed certificate made for this test run; the
    // TLS handshake is done before the connection is handed out.
    Tls,
    // Reads the bridge's TLS ClientHello, answers it with plain bytes (so the
    // bridge's TLS handshake fails), then the connection goes on in plain
    // text: readHandshake skips any TLS alert the bridge sends first.
    PlainAnswerToTls,
    // Reads the ClientHello (or what comes first) and closes the connection
    // in the middle of the TLS handshake.
    CloseDuringTlsHandshake,
};

// One accepted connection. Read and write it from the test; it is closed
// when the FakeHost is destroyed, or by close().
class HostConnection {
public:
    HostConnection(std::unique_ptr<SocketStream> stream, HostMode mode, std::string firstBytes, bool tlsUp,
                   std::string tlsError);

    // What the bridge's first send carries (the handshake has no line end):
    // the bytes of the first read. Empty at the deadline or when closed.
    std::string readHandshake(Millis timeout);

    // Next line with its "\n" (ChatPacket lines end in "\n").
    std::optional<std::string> readLine(Millis timeout);
    std::optional<std::string> readUntil(std::string_view needle, Millis timeout);

    // Sends text as it is (add the "\n" yourself).
    bool send(std::string_view text);

    // Closes this end (with a TLS close notice when TLS is up).
    void close();

    // True once the bridge has closed its end within timeout.
    bool waitClosed(Millis timeout);

    // Tls mode: whether the TLS handshake succeeded, and the library's error
    // text when it did not.
    bool tlsEstablished() const { return tlsUp_; }
    const std::string& tlsError() const { return tlsError_; }

    // PlainAnswerToTls / CloseDuringTlsHandshake: the bytes the bridge sent
    // first (a TLS ClientHello record when it tried TLS).
    const std::string& firstBytes() const { return firstBytes_; }

    SocketStream& stream() { return *stream_; }

private:
    std::unique_ptr<SocketStream> stream_;
    HostMode mode_;
    std::string firstBytes_;
    bool tlsUp_;
    std::string tlsError_;
};

class FakeHost {
public:
    explicit FakeHost(HostMode mode = HostMode::Plain);
    ~FakeHost();
    FakeHost(const FakeHost&) = delete;
    FakeHost& operator=(const FakeHost&) = delete;

    int port() const { return port_; }
    std::string portText() const { return std::to_string(port_); }
    static constexpr const char* kAddress = "127.0.0.2";

    // The n-th connection (1-based) once it has been accepted (and, in Tls
    // mode, its TLS handshake has ended either way); null at the deadline.
    std::shared_ptr<HostConnection> waitForConnection(std::size_t n, Millis timeout);
    std::size_t connectionCount() const;

    // Closes the listening socket: later connects to the port are refused.
    // Connections already accepted stay open.
    void stopListening();

    // Listens on the same port again after stopListening().
    void resumeListening();

private:
    void acceptLoop();
    std::shared_ptr<HostConnection> admit(int fd);

    HostMode mode_;
    int port_ = 0;
    int listenFd_ = -1;
    std::mutex listenMutex_;  // guards listenFd_ and acceptor_ against concurrent stop/resume
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::shared_ptr<HostConnection>> connections_;
    std::thread acceptor_;
};

// The process-wide TLS server context with a self-signed EC certificate
// (CN=kolv-test) generated in memory on first use. Never freed.
ssl_ctx_st* serverTlsContext();

// Text of the TLS library's queued errors (and clears the queue).
std::string tlsErrorText();

}  // namespace kolvtest
