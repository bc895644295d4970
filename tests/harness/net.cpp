#include "harness/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <thread>

namespace kolvtest {
namespace {

// A socket bound to host:port (0: any free port), or -1 with errno set.
int bindTcp(const std::string& host, int port) {
    sockaddr_storage address;
    socklen_t length = 0;
    if (!fillAddress(host, port, address, length)) {
        errno = EINVAL;
        return -1;
    }
    int fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (address.ss_family == AF_INET6) {
        int one = 1;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

int boundPort(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return -1;
    if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
}

bool ipv6LoopbackUsable() {
    static const bool usable = [] {
        int fd = bindTcp("::1", 0);
        if (fd < 0) return false;
        ::close(fd);
        return true;
    }();
    return usable;
}

bool portFreeOn(const std::string& host, int port) {
    int fd = bindTcp(host, port);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

// Waits for fd to be ready for events; false at the deadline.
bool waitReady(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        int ready = ::poll(&p, 1, millisLeft(deadline));
        if (ready < 0 && errno == EINTR) continue;
        return ready > 0;
    }
}

}  // namespace

bool fillAddress(const std::string& host, int port, sockaddr_storage& address, socklen_t& length) {
    std::memset(&address, 0, sizeof address);
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    if (::inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<std::uint16_t>(port));
        length = sizeof(sockaddr_in);
        return true;
    }
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    if (::inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<std::uint16_t>(port));
        length = sizeof(sockaddr_in6);
        return true;
    }
    return false;
}


int freePort() {
    for (int attempt = 0; attempt < 100; ++attempt) {
        int probe = bindTcp("127.0.0.1", 0);
        if (probe < 0) throw HarnessError(std::string("cannot bind 127.0.0.1: ") + std::strerror(errno));
        int port = boundPort(probe);
        bool free = port > 0 && portFreeOn("127.0.0.2", port) && (!ipv6LoopbackUsable() || portFreeOn("::1", port));
        ::close(probe);
        if (free) return port;
    }
    throw HarnessError("no port free on 127.0.0.1, 127.0.0.2 and ::1");
}

int connectTcp(const std::string& host, int port, Millis timeout) {
    return connectTcpBy(host, port, deadlineAfter(timeout));
}

int connectTcpBy(const std::string& host, int port, Clock::time_point deadline) {
    sockaddr_storage address;
    socklen_t length = 0;
    if (!fillAddress(host, port, address, length)) return -1;
    int fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    int result = ::connect(fd, reinterpret_cast<sockaddr*>(&address), length);
    if (result != 0 && errno == EINPROGRESS) {
        if (waitReady(fd, POLLOUT, deadline)) {
            int error = 0;
            socklen_t size = sizeof error;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
            result = error == 0 ? 0 : -1;
        }
    }
    if (result != 0) {
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL, 0) & ~O_NONBLOCK);
    return fd;
}

std::string localListenAddress() {
    static const std::string address = [] {
        addrinfo hints{};
        hints.ai_flags = AI_PASSIVE;
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_protocol = IPPROTO_TCP;
        addrinfo* list = nullptr;
        if (::getaddrinfo("localhost", nullptr, &hints, &list) != 0 || list == nullptr) return std::string("127.0.0.1");
        char text[INET6_ADDRSTRLEN] = {};
        const void* raw = list->ai_family == AF_INET6
                              ? static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(list->ai_addr)->sin6_addr)
                              : static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(list->ai_addr)->sin_addr);
        ::inet_ntop(list->ai_family, raw, text, sizeof text);
        ::freeaddrinfo(list);
        return std::string(text);
    }();
    return address;
}

// --- SocketStream ---

SocketStream::SocketStream(int fd, ssl_st* ssl) : fd_(fd), tls_(ssl != nullptr), ssl_(ssl) {
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL, 0) | O_NONBLOCK);
}

SocketStream::~SocketStream() { close(); }

bool SocketStream::send(std::string_view data, Millis timeout) {
    auto deadline = deadlineAfter(timeout);
    while (!data.empty()) {
        short waitFor = POLLOUT;
        {
            std::lock_guard<std::mutex> lock(ioMutex_);
            if (closed_.load()) return false;
            if (ssl_ != nullptr) {
                ERR_clear_error();
                int chunk = data.size() > INT_MAX ? INT_MAX : static_cast<int>(data.size());
                int n = SSL_write(ssl_, data.data(), chunk);
                if (n > 0) {
                    data.remove_prefix(static_cast<std::size_t>(n));
                    continue;
                }
                int error = SSL_get_error(ssl_, n);
                if (error == SSL_ERROR_WANT_READ) {
                    waitFor = POLLIN;
                } else if (error != SSL_ERROR_WANT_WRITE) {
                    return false;
                }
            } else {
                ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
                if (n > 0) {
                    data.remove_prefix(static_cast<std::size_t>(n));
                    continue;
                }
                if (n < 0 && errno == EINTR) continue;
                if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return false;
            }
        }
        if (Clock::now() >= deadline || !waitReady(fd_, waitFor, deadline)) return false;
    }
    return true;
}

bool SocketStream::fill(Clock::time_point deadline) {
    char chunk[16384];
    for (;;) {
        short waitFor = POLLIN;
        {
            std::lock_guard<std::mutex> lock(ioMutex_);
            if (closed_.load() || peerClosed_.load()) return false;
            if (ssl_ != nullptr) {
                ERR_clear_error();
                int n = SSL_read(ssl_, chunk, sizeof chunk);
                if (n > 0) {
                    buffer_.append(chunk, static_cast<std::size_t>(n));
                    return true;
                }
                int error = SSL_get_error(ssl_, n);
                if (error == SSL_ERROR_WANT_WRITE) {
                    waitFor = POLLOUT;
                } else if (error != SSL_ERROR_WANT_READ) {
                    peerClosed_.store(true);
                    return false;
                }
            } else {
                ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
                if (n > 0) {
                    buffer_.append(chunk, static_cast<std::size_t>(n));
                    return true;
                }
                if (n < 0 && errno == EINTR) continue;
                if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                    peerClosed_.store(true);
                    return false;
                }
            }
        }
        if (Clock::now() >= deadline || !waitReady(fd_, waitFor, deadline)) return false;
    }
}

std::string SocketStream::readSomeBy(Clock::time_point deadline) {
    std::lock_guard<std::mutex> lock(readMutex_);
    if (buffer_.empty()) fill(deadline);
    std::string result;
    result.swap(buffer_);
    return result;
}

std::optional<std::string> SocketStream::readLineBy(Clock::time_point deadline) {
    std::lock_guard<std::mutex> lock(readMutex_);
    for (;;) {
        std::size_t end = buffer_.find('\n');
        if (end != std::string::npos) {
            std::string line = buffer_.substr(0, end + 1);
            buffer_.erase(0, end + 1);
            return line;
        }
        if (!fill(deadline)) return std::nullopt;
    }
}

std::optional<std::string> SocketStream::readUntil(std::string_view needle, Millis timeout) {
    auto deadline = deadlineAfter(timeout);
    std::lock_guard<std::mutex> lock(readMutex_);
    for (;;) {
        std::size_t at = buffer_.find(needle);
        if (at != std::string::npos) {
            std::string head = buffer_.substr(0, at + needle.size());
            buffer_.erase(0, at + needle.size());
            return head;
        }
        if (!fill(deadline)) return std::nullopt;
    }
}

bool SocketStream::waitClosed(Millis timeout) {
    auto deadline = deadlineAfter(timeout);
    std::lock_guard<std::mutex> lock(readMutex_);
    while (!peerClosed_.load()) {
        if (!fill(deadline) && !peerClosed_.load()) return false;
    }
    return true;
}

std::string SocketStream::buffered() const {
    std::lock_guard<std::mutex> lock(readMutex_);
    return buffer_;
}

void SocketStream::unread(std::string_view bytes) {
    std::lock_guard<std::mutex> lock(readMutex_);
    buffer_.insert(0, bytes);
}

void SocketStream::close() {
    std::lock_guard<std::mutex> lock(ioMutex_);
    if (closed_.load()) return;
    closed_.store(true);
    if (ssl_ != nullptr) {
        if (!peerClosed_.load()) SSL_shutdown(ssl_);  // one try: the close notice, no wait for the answer
        SSL_free(ssl_);
        ssl_ = nullptr;
        ERR_clear_error();
    }
    // Unread input would turn the close into a reset; the peer should see an
    // orderly end of stream.
    char sink[4096];
    for (int i = 0; i < 256 && ::recv(fd_, sink, sizeof sink, MSG_DONTWAIT) > 0; ++i) {
    }
    ::shutdown(fd_, SHUT_WR);
    ::close(fd_);
}

// --- LocalClient ---

bool LocalClient::connect(int port, Millis timeout) {
    close();
    auto deadline = deadlineAfter(timeout);
    const std::string address = localListenAddress();
    for (;;) {
        int fd = connectTcpBy(address, port, std::min(deadline, Clock::now() + Millis(1000)));
        if (fd >= 0) {
            stream_ = std::make_unique<SocketStream>(fd);
            return true;
        }
        if (millisLeft(deadline) == 0) return false;
        // Refused: the bridge has not opened its listener yet.
        std::this_thread::sleep_for(Millis(std::min(millisLeft(deadline), 20)));
    }
}

bool LocalClient::send(std::string_view data) { return stream_ != nullptr && stream_->send(data); }

std::optional<std::string> LocalClient::readLine(Millis timeout) {
    if (stream_ == nullptr) return std::nullopt;
    return stream_->readLine(timeout);
}

std::optional<std::string> LocalClient::readUntil(std::string_view needle, Millis timeout) {
    if (stream_ == nullptr) return std::nullopt;
    return stream_->readUntil(needle, timeout);
}

bool LocalClient::waitClosed(Millis timeout) { return stream_ != nullptr && stream_->waitClosed(timeout); }

void LocalClient::close() { stream_.reset(); }

bool localPortAccepts(int port, Millis timeout) {
    int fd = connectTcp(localListenAddress(), port, timeout);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

}  // namespace kolvtest
