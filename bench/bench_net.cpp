#include "bench_net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>

namespace bench {
namespace {

constexpr std::size_t kMaxQueuedLines = 20000;
constexpr std::size_t kMaxLineBytes = 1 << 16;

sockaddr_in addressOf(const char* ip, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (::inet_pton(AF_INET, ip, &a.sin_addr) != 1) throw BenchError(std::string("bad address ") + ip);
    return a;
}

std::string errorText(const std::string& what) { return what + ": " + std::strerror(errno); }

int msUntil(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left < 0) return 0;
    return left > 1000 ? 1000 : static_cast<int>(left);
}

}  // namespace

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = other.release();
    }
    return *this;
}

int Fd::release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void Fd::reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

Fd bindTcp(const char* ip, std::uint16_t port) {
    Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (s.get() < 0) throw BenchError(errorText("socket"));
    int one = 1;
    ::setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = addressOf(ip, port);
    if (::bind(s.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        throw BenchError(errorText(std::string("bind ") + ip + ":" + std::to_string(port)));
    }
    return s;
}

std::uint16_t localPort(int fd) {
    sockaddr_in a{};
    socklen_t length = sizeof a;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) throw BenchError(errorText("getsockname"));
    return ntohs(a.sin_port);
}

void startListening(int fd) {
    if (::listen(fd, 128) != 0) throw BenchError(errorText("listen"));
}

bool portFree(const char* ip, std::uint16_t port) {
    try {
        bindTcp(ip, port);
        return true;
    } catch (const BenchError&) {
        return false;
    }
}

void boundSends(int fd) {
    timeval tv{};
    tv.tv_sec = 10;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

Fd connectTcp(const char* ip, std::uint16_t port, Clock::time_point deadline) {
    sockaddr_in a = addressOf(ip, port);
    for (int attempt = 0; attempt < 100000; ++attempt) {
        Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (s.get() < 0) throw BenchError(errorText("socket"));
        if (::connect(s.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) {
            boundSends(s.get());
            return s;
        }
        // The listener appears only after the bridge's handshake: refused means "not yet".
        if (errno != ECONNREFUSED || Clock::now() >= deadline) {
            throw BenchError(errorText(std::string("connect ") + ip + ":" + std::to_string(port)));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    throw BenchError("connect: too many attempts");
}

Fd acceptWithin(int listening, Clock::time_point deadline) {
    while (Clock::now() < deadline) {
        pollfd p{listening, POLLIN, 0};
        int ready = ::poll(&p, 1, msUntil(deadline));
        if (ready < 0 && errno != EINTR) throw BenchError(errorText("poll"));
        if (ready <= 0) continue;
        int c = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
        if (c >= 0) {
            boundSends(c);
            return Fd(c);
        }
        if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED) throw BenchError(errorText("accept"));
    }
    throw BenchError("no connection arrived in time");
}

void sendAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw BenchError(errorText("send"));
        done += static_cast<std::size_t>(n);
    }
}

LineReader::LineReader() {
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) throw BenchError(errorText("eventfd"));
    thread_ = std::thread([this] { run(); });
}

LineReader::~LineReader() {
    stop();
    ::close(wakeFd_);
}

void LineReader::wake() {
    std::uint64_t one = 1;
    if (::write(wakeFd_, &one, sizeof one) < 0) {
        // The reader also wakes by its poll time-out.
    }
}

void LineReader::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_) return;
        stop_ = true;
    }
    wake();
    thread_.join();
}

int LineReader::add(int fd) {
    int id;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sources_.push_back(Source{fd, {}, {}, false});
        id = static_cast<int>(sources_.size()) - 1;
    }
    wake();
    return id;
}

void LineReader::remove(int id) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (stop_) return;
    Source& source = sources_.at(static_cast<std::size_t>(id));
    source.closed = true;
    source.lines.clear();
    // The poll set is rebuilt under the lock at the start of every cycle;
    // once a later cycle has begun, this fd is out of it.
    std::uint64_t target = cycle_ + 1;
    wake();
    rebuilt_.wait_for(lock, std::chrono::seconds(2), [&] { return cycle_ >= target || stop_; });
}

void LineReader::run() {
    std::vector<char> buffer(1 << 16);
    std::vector<pollfd> polled;
    std::vector<Source*> owners;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stop_) return;
            ++cycle_;
            rebuilt_.notify_all();
            polled.assign(1, pollfd{wakeFd_, POLLIN, 0});
            owners.assign(1, nullptr);
            for (Source& s : sources_) {
                if (s.closed) continue;
                polled.push_back(pollfd{s.fd, POLLIN, 0});
                owners.push_back(&s);
            }
        }
        int ready = ::poll(polled.data(), polled.size(), 100);
        if (ready <= 0) continue;
        if (polled[0].revents != 0) {
            std::uint64_t count;
            if (::read(wakeFd_, &count, sizeof count) < 0) {
                // Nothing to drain.
            }
        }
        for (std::size_t i = 1; i < polled.size(); ++i) {
            if (polled[i].revents != 0) readSource(*owners[i], buffer.data(), buffer.size());
        }
    }
}

void LineReader::readSource(Source& source, char* buffer, std::size_t size) {
    ssize_t n = ::recv(source.fd, buffer, size, MSG_DONTWAIT);
    Clock::time_point at = Clock::now();
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (n <= 0) {
        source.closed = true;
        arrived_.notify_all();
        return;
    }
    std::size_t start = 0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(n); ++i) {
        if (buffer[i] != '\n') continue;
        source.partial.append(buffer + start, i + 1 - start);
        source.lines.push_back(Arrival{at, std::move(source.partial)});
        source.partial.clear();
        if (source.lines.size() > kMaxQueuedLines) source.lines.pop_front();
        start = i + 1;
    }
    source.partial.append(buffer + start, static_cast<std::size_t>(n) - start);
    if (source.partial.size() > kMaxLineBytes) source.partial.clear();
    arrived_.notify_all();
}

std::optional<Arrival> LineReader::waitFor(int id, const std::function<bool(const std::string&)>& match,
                                           Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    Source& source = sources_.at(static_cast<std::size_t>(id));
    for (;;) {
        while (!source.lines.empty()) {
            Arrival a = std::move(source.lines.front());
            source.lines.pop_front();
            if (match(a.line)) return a;
        }
        if (source.closed) return std::nullopt;
        if (arrived_.wait_until(lock, deadline) == std::cv_status::timeout && source.lines.empty()) {
            return std::nullopt;
        }
    }
}

void LineReader::clear(int id) {
    std::lock_guard<std::mutex> lock(mutex_);
    sources_.at(static_cast<std::size_t>(id)).lines.clear();
}

bool LineReader::closed(int id) {
    std::lock_guard<std::mutex> lock(mutex_);
    return sources_.at(static_cast<std::size_t>(id)).closed;
}

}  // namespace bench
