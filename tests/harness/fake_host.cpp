#include "harness/fake_host.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kolvtest {
namespace {

constexpr Millis kTlsHandshakeTimeout{5000};
constexpr Millis kFirstBytesTimeout{5000};
// What a host that does not speak TLS answers to a ClientHello.
constexpr std::string_view kPlainAnswer = "NOT-TLS\r\n";

bool isTlsRecordStart(const std::string& bytes, unsigned char type) {
    return bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == type &&
           static_cast<unsigned char>(bytes[1]) == 0x03;
}

// Length of the complete TLS record at the start of bytes, or 0 when more
// bytes are needed for it.
std::size_t completeRecordLength(const std::string& bytes) {
    if (bytes.size() < 5) return 0;
    std::size_t length = 5 + ((static_cast<std::size_t>(static_cast<unsigned char>(bytes[3])) << 8) |
                              static_cast<unsigned char>(bytes[4]));
    return bytes.size() >= length ? length : 0;
}

// Reads what the client sends first: one whole TLS record when it starts
// like one, else whatever the first read brings.
std::string readFirstRecord(int fd, Clock::time_point deadline, const std::atomic<bool>& stop) {
    std::string bytes;
    char chunk[4096];
    while (!stop.load()) {
        if (!bytes.empty() && (!isTlsRecordStart(bytes, 0x16) || completeRecordLength(bytes) > 0)) break;
        pollfd p{fd, POLLIN, 0};
        int wait = std::min(millisLeft(deadline), 50);
        int ready = ::poll(&p, 1, wait);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) {
            if (millisLeft(deadline) == 0) break;
            continue;
        }
        ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) break;
        bytes.append(chunk, static_cast<std::size_t>(n));
    }
    return bytes;
}

bool sendAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

std::string tlsErrorText() {
    std::string text;
    char line[256];
    for (unsigned long code = ERR_get_error(); code != 0; code = ERR_get_error()) {
        ERR_error_string_n(code, line, sizeof line);
        text += (text.empty() ? "" : "; ") + std::string(line);
    }
    return text;
}

ssl_ctx_st* serverTlsContext() {
    static SSL_CTX* const context = [] {
        EVP_PKEY* key = EVP_EC_gen("P-256");
        if (key == nullptr) throw HarnessError("EVP_EC_gen: " + tlsErrorText());
        X509* certificate = X509_new();
        X509_set_version(certificate, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
        X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
        X509_gmtime_adj(X509_getm_notAfter(certificate), 86400);
        X509_set_pubkey(certificate, key);
        X509_NAME* name = X509_get_subject_name(certificate);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("kolv-test"), -1,
                                   -1, 0);
        X509_set_issuer_name(certificate, name);
        SSL_CTX* made = nullptr;
        if (X509_sign(certificate, key, EVP_sha256()) > 0) {
            made = SSL_CTX_new(TLS_server_method());
            if (made != nullptr && (SSL_CTX_use_certificate(made, certificate) != 1 ||
                                    SSL_CTX_use_PrivateKey(made, key) != 1 || SSL_CTX_check_private_key(made) != 1)) {
                SSL_CTX_free(made);
                made = nullptr;
            }
        }
        X509_free(certificate);  // the context holds its own references
        EVP_PKEY_free(key);
        if (made == nullptr) throw HarnessError("TLS server context: " + tlsErrorText());
        return made;
    }();
    return context;
}

// --- HostConnection ---

HostConnection::HostConnection(std::unique_ptr<SocketStream> stream, HostMode mode, std::string firstBytes,
                               bool tlsUp, std::string tlsError)
    : stream_(std::move(stream)),
      mode_(mode),
      firstBytes_(std::move(firstBytes)),
      tlsUp_(tlsUp),
      tlsError_(std::move(tlsError)) {}

std::string HostConnection::readHandshake(Millis timeout) {
    auto deadline = deadlineAfter(timeout);
    std::string bytes = stream_->readSomeBy(deadline);
    if (mode_ != HostMode::PlainAnswerToTls) return bytes;
    // After its failed TLS handshake the bridge may still send a TLS alert
    // before the plain handshake: skip whole alert records.
    for (;;) {
        while (isTlsRecordStart(bytes, 0x15) && completeRecordLength(bytes) > 0) {
            bytes.erase(0, completeRecordLength(bytes));
        }
        bool partialAlert = isTlsRecordStart(bytes, 0x15) || (bytes.size() == 1 && bytes[0] == 0x15);
        if (!bytes.empty() && !partialAlert) return bytes;
        std::string more = stream_->readSomeBy(deadline);
        if (more.empty()) return {};
        bytes += more;
    }
}

std::optional<std::string> HostConnection::readLine(Millis timeout) { return stream_->readLine(timeout); }

std::optional<std::string> HostConnection::readUntil(std::string_view needle, Millis timeout) {
    return stream_->readUntil(needle, timeout);
}

bool HostConnection::send(std::string_view text) { return stream_->send(text); }

void HostConnection::close() { stream_->close(); }

bool HostConnection::waitClosed(Millis timeout) { return stream_->waitClosed(timeout); }

// --- FakeHost ---

namespace {

// A listening socket on 127.0.0.2:port, or -1. SO_REUSEADDR lets the port be
// listened on again while closed links of it linger.
int listenOn(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, FakeHost::kAddress, &address.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 16) != 0) {
        int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

}  // namespace

FakeHost::FakeHost(HostMode mode) : mode_(mode) {
    if (mode_ == HostMode::Tls) serverTlsContext();  // fail here, not in the accept thread
    for (int attempt = 0; attempt < 20 && listenFd_ < 0; ++attempt) {
        int port = freePort();
        listenFd_ = listenOn(port);
        if (listenFd_ >= 0) port_ = port;
    }
    if (listenFd_ < 0) throw HarnessError(std::string("FakeHost cannot listen on 127.0.0.2: ") + std::strerror(errno));
    acceptor_ = std::thread([this] { acceptLoop(); });
}

void FakeHost::resumeListening() {
    std::lock_guard<std::mutex> lock(listenMutex_);
    if (listenFd_ >= 0) return;
    listenFd_ = listenOn(port_);
    if (listenFd_ < 0) {
        throw HarnessError("FakeHost cannot listen on 127.0.0.2:" + std::to_string(port_) + " again: " +
                           std::strerror(errno));
    }
    stop_.store(false);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

FakeHost::~FakeHost() {
    stopListening();
    std::vector<std::shared_ptr<HostConnection>> connections;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connections = connections_;
    }
    for (auto& connection : connections) connection->close();
}

void FakeHost::stopListening() {
    std::lock_guard<std::mutex> lock(listenMutex_);
    stop_.store(true);
    if (acceptor_.joinable()) acceptor_.join();
    if (listenFd_ >= 0) ::close(listenFd_);
    listenFd_ = -1;
}

void FakeHost::acceptLoop() {
    const int listening = listenFd_;  // set before this thread starts, closed after it ends
    while (!stop_.load()) {
        pollfd p{listening, POLLIN, 0};
        int ready = ::poll(&p, 1, 50);
        if (ready <= 0) continue;
        int fd = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::shared_ptr<HostConnection> connection = admit(fd);
        std::lock_guard<std::mutex> lock(mutex_);
        connections_.push_back(std::move(connection));
        changed_.notify_all();
    }
}

std::shared_ptr<HostConnection> FakeHost::admit(int fd) {
    switch (mode_) {
        case HostMode::Plain:
            return std::make_shared<HostConnection>(std::make_unique<SocketStream>(fd), mode_, "", false, "");
        case HostMode::Tls: {
            SSL* ssl = SSL_new(serverTlsContext());
            if (ssl == nullptr || SSL_set_fd(ssl, fd) != 1) {
                if (ssl != nullptr) SSL_free(ssl);
                return std::make_shared<HostConnection>(std::make_unique<SocketStream>(fd), mode_, "", false,
                                                        "SSL_new: " + tlsErrorText());
            }
            auto stream = std::make_unique<SocketStream>(fd, ssl);  // owns fd and ssl from here
            auto deadline = deadlineAfter(kTlsHandshakeTimeout);
            std::string error;
            bool up = false;
            // The stream made fd non-blocking: drive the handshake with poll.
            while (!stop_.load()) {
                ERR_clear_error();
                int result = SSL_accept(ssl);
                if (result == 1) {
                    up = true;
                    break;
                }
                int code = SSL_get_error(ssl, result);
                if (code != SSL_ERROR_WANT_READ && code != SSL_ERROR_WANT_WRITE) {
                    error = "SSL_accept: error " + std::to_string(code) + " " + tlsErrorText();
                    break;
                }
                if (millisLeft(deadline) == 0) {
                    error = "SSL_accept: timed out";
                    break;
                }
                pollfd p{fd, static_cast<short>(code == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
                ::poll(&p, 1, std::min(millisLeft(deadline), 50));
            }
            return std::make_shared<HostConnection>(std::move(stream), mode_, "", up, error);
        }
        case HostMode::PlainAnswerToTls: {
            std::string first = readFirstRecord(fd, deadlineAfter(kFirstBytesTimeout), stop_);
            sendAll(fd, kPlainAnswer);
            return std::make_shared<HostConnection>(std::make_unique<SocketStream>(fd), mode_, std::move(first), false,
                                                    "");
        }
        case HostMode::CloseDuringTlsHandshake: {
            std::string first = readFirstRecord(fd, deadlineAfter(kFirstBytesTimeout), stop_);
            auto stream = std::make_unique<SocketStream>(fd);
            stream->close();
            return std::make_shared<HostConnection>(std::move(stream), mode_, std::move(first), false, "");
        }
    }
    ::close(fd);
    throw HarnessError("FakeHost: unknown mode");
}

std::shared_ptr<HostConnection> FakeHost::waitForConnection(std::size_t n, Millis timeout) {
    if (n == 0) return nullptr;
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_until(lock, deadlineAfter(timeout), [&] { return connections_.size() >= n; })) return nullptr;
    return connections_[n - 1];
}

std::size_t FakeHost::connectionCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_.size();
}

}  // namespace kolvtest
