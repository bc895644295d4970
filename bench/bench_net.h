#pragma once
// Loopback sockets for the benchmark and one reader thread that timestamps
// every line arriving on any registered socket.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

struct BenchError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Owns one descriptor.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release();
    void reset();

private:
    int fd_ = -1;
};

// A TCP socket bound to ip:port (port 0 picks one), not yet listening.
Fd bindTcp(const char* ip, std::uint16_t port);
std::uint16_t localPort(int fd);
void startListening(int fd);
// True when ip:port can be bound right now.
bool portFree(const char* ip, std::uint16_t port);
// Connects, retrying refused attempts until the deadline.
Fd connectTcp(const char* ip, std::uint16_t port, Clock::time_point deadline);
Fd acceptWithin(int listening, Clock::time_point deadline);
// Blocking send of all bytes; bounded by the socket's send time-out.
void sendAll(int fd, const std::string& data);
// Bounds blocking sends on a bench socket so that a stuck peer cannot hang the run.
void boundSends(int fd);

struct Arrival {
    Clock::time_point at;
    std::string line;  // with its "\n"
};

// One thread polls every registered socket, stamps each read with the time it
// returned and queues the complete lines per socket. Safe to call from any thread.
class LineReader {
public:
    LineReader();
    ~LineReader();
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // Starts reading fd. The caller keeps it open until remove(id) or stop()
    // has returned: closing it earlier could let a new socket take its number.
    int add(int fd);
    // Stops reading id; on return the reader thread no longer touches its fd.
    void remove(int id);
    // Ends the reader thread; idempotent.
    void stop();
    // Pops lines of id until one matches; earlier lines are dropped. Nothing at the deadline.
    std::optional<Arrival> waitFor(int id, const std::function<bool(const std::string&)>& match,
                                   Clock::time_point deadline);
    // Drops every queued line of id.
    void clear(int id);
    bool closed(int id);

private:
    struct Source {
        int fd;
        std::string partial;
        std::deque<Arrival> lines;
        bool closed = false;
    };
    void run();
    void readSource(Source& source, char* buffer, std::size_t size);
    void wake();

    std::mutex mutex_;
    std::condition_variable arrived_;
    std::condition_variable rebuilt_;  // the poll set was rebuilt: cycle_ grew
    std::uint64_t cycle_ = 0;
    std::deque<Source> sources_;  // deque: references stay valid as sources are added
    int wakeFd_ = -1;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace bench
