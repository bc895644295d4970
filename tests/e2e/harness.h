#pragma once
// End-to-end harness: the real kolv-bridge as a process in a temporary
// folder, a fake chat host (plain or TLS) on 127.0.0.2, and local clients on
// the bridge's own port. Every wait has a deadline, scaled by
// KOLV_TEST_TIMEOUT_SCALE for slow runs (sanitizers, Wine); KOLV_BRIDGE_CMD
// runs another build of the bridge (e.g. a Windows one through Wine) and
// KOLV_BRIDGE_PLATFORM names its platform ("Windows.x64").
#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

struct ssl_st;
struct ssl_ctx_st;

namespace kolvtest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;
namespace fs = std::filesystem;

Millis scaled(Millis timeout);

// A fresh folder, removed when the test passed and kept (and named) when not.
struct Dir {
    Dir();
    ~Dir();
    fs::path path;
    std::string read(const fs::path& name) const;
    void write(const char* name, std::string_view bytes) const;
};

// The fields of ulk.cfg, written (or replaced) with the real kolv-setup.
struct Config {
    Config(std::string portText, bool useTls = false) : port(std::move(portText)), tls(useTls) {}
    std::string port;
    bool tls = false;
    std::string site = "My Board";
    std::string software = "Sys 2";
    std::string host = "127.0.0.2";
    std::vector<std::string> info;  // web, tel, ssh, sys, dsc (as many as given)
};
void writeConfig(const Dir& dir, const Config& config);

// A program with its stdout and stderr collected; killed with its process
// group when destroyed. A Bridge also fails the test on a sanitizer report.
class Process {
public:
    Process(std::vector<std::string> argv, const Dir& dir, bool isBridge = false);
    ~Process();
    std::string out() const;
    std::string err() const;
    bool waitFor(std::string_view needle, Millis timeout, std::size_t count = 1) const;
    std::optional<int> exitCode(Millis timeout);  // 0..255, or 128 + signal
    pid_t pid() const { return pid_; }

private:
    const Dir& dir_;
    bool isBridge_;
    std::string outFile_, errFile_;
    pid_t pid_ = -1;
    std::optional<int> exit_;
};
// The bridge in dir with args (the command of KOLV_BRIDGE_CMD when set),
// run through prefix when given (another user, a private hosts file).
std::unique_ptr<Process> startBridge(const Dir& dir, std::vector<std::string> args = {"-W1"},
                                     std::vector<std::string> prefix = {});
// The prefix that runs the bridge with hosts as its /etc/hosts (a mount
// namespace of its own).
std::vector<std::string> withHosts(const Dir& dir, const std::string& hosts);
// One of this build's tools: "kolv-setup", "ulk-sim" or "kolv-chat".
std::vector<std::string> toolCommand(const std::string& name, std::vector<std::string> args);

// A TCP stream, with TLS when ssl is set; owns both. One thread at a time.
class Stream {
public:
    explicit Stream(int fd, ssl_st* ssl = nullptr);
    ~Stream();
    bool send(std::string_view data, Millis timeout = 5s);
    std::string readSome(Millis timeout);  // buffered bytes first; empty at the deadline or end
    std::optional<std::string> readLine(Millis timeout);  // with its "\n"
    std::string readToEnd(Millis timeout);  // everything until the peer closes
    bool closed() const { return eof_; }
    // The peer closed in order: a FIN, and over TLS its close notice first.
    bool endedInOrder() const { return orderly_; }
    int fd() const { return fd_; }
    int peerPort() const;
    void close();

private:
    bool fill(Clock::time_point deadline);
    int fd_;
    ssl_st* ssl_;
    std::string buffer_;
    bool eof_ = false;
    bool orderly_ = false;
};

// Tls presents a self-signed "kolv-test"; TlsFromTestCa a certificate of
// the test CA for 127.0.0.2, TlsFromTestCaOtherName one for another name,
// NameInSan one for "kolv.test" in its subjectAltName, NameInCn one with
// "kolv.test" only as its common name; OldTls a self-signed RSA "kolv-old"
// over TLS 1.1 with the static-RSA suite AES128-SHA only; Silent accepts and
// never answers.
enum class HostMode {
    Plain, Tls, PlainAnswerToTls, TlsFromTestCa, TlsFromTestCaOtherName, NameInSan, NameInCn, OldTls, Silent
};
// The test CA's certificate (PEM), a TLS mode's key and certificate (PEM, in
// one text), and the "sha256:" pin of a mode's certificate.
std::string testCaPem();
std::string hostKeyAndCertificatePem(HostMode mode);
std::string hostPin(HostMode mode);

// A port free on 127.0.0.2 and on the bridge's local address; nothing listens.
int freePort();

// The fake chat host: accepts the bridge's links on 127.0.0.2 and a port
// that is also free for the bridge's local listener.
class Host {
public:
    explicit Host(HostMode mode = HostMode::Plain, int receiveBuffer = 0, int port = 0);
    ~Host();
    int port() const { return port_; }
    std::string portText() const { return std::to_string(port_); }
    // The n-th link (1-based); null at the deadline.
    std::shared_ptr<Stream> link(std::size_t n, Millis timeout = 10s);
    void stopListening();  // later connects are refused; links stay

private:
    void acceptLoop();
    HostMode mode_;
    ssl_ctx_st* context_;
    int port_ = 0, listenFd_ = -1;
    std::mutex mutex_;
    std::vector<std::shared_ptr<Stream>> links_;  // guarded by mutex_
    std::vector<int> silent_;                     // guarded by mutex_
    std::thread acceptor_;
};

// A local chat client of the bridge, on the numeric address (empty: the first
// of "localhost"); connect retries until the bridge listens. A send buffer
// size keeps what a client can queue ahead of the bridge small.
std::unique_ptr<Stream> connectClient(int port, Millis timeout = 10s, int sendBuffer = 0,
                                      const std::string& address = "");
// A socket listening on the numeric address and port, as another program's; -1 if taken.
int holdPort(const std::string& address, int port);
// Connects, sends a first packet as user and reads the latency notice.

// A bridge on its first link: ulk.cfg for the fake host (config tweaks it),
// the handshake read, and a first line from the host, so relays flow at once.
struct Session {
    explicit Session(std::vector<std::string> args = {"-W1"}, HostMode mode = HostMode::Plain,
                     void (*tweak)(Config&) = nullptr, int receiveBuffer = 0);
    Dir dir;
    Host host;
    std::unique_ptr<Process> bridge;
    std::shared_ptr<Stream> link;
    // A joined client whose first packet the host has read.
    std::unique_ptr<Stream> join(const std::string& user);
};
// Runs the current test again inside a private network namespace (loopback
// up), where it may firewall links: true in that inner run; in the outer run
// false, after checking that the inner run passed.
bool inPrivateNetwork();
// In a private network: drops every packet of the TCP connection on 127.0.0.2
// whose other end has port, both ways, as a vanished host would.
void dropConnection(int port);

// The lines a client reads up to and including marker; nothing more after a miss.
std::vector<std::string> readUntil(Stream& stream, const std::string& marker, Millis timeout = 5s);

// Packets and texts.
std::string chat(std::string_view user, std::string_view body, std::string_view site = "Site");
std::string latencyPacket(long long ms);
std::string expectedHandshake(std::string_view site = "My Board", std::string_view software = "Sys 2");
bool bridgeIsWindows();
// "failed with error" numbers of the bridge's platform for: "badsocket",
// "refused", "connecttimeout", "addrinuse", "addrnotavail".
int osError(std::string_view name);
std::vector<std::string> lines(std::string_view text);
std::size_t countOf(std::string_view text, std::string_view needle);  // non-overlapping
// The messages of kolv.log, each line checked for the log's format.
std::vector<std::string> logMessages(const Dir& dir);
// Finished console output lines where another thread's text landed inside a line.
std::vector<std::string> tornLines(std::string_view output);
// Waits until pred() holds; false at the deadline.
template <typename Pred>
bool waitUntil(Pred pred, Millis timeout) {
    const auto deadline = Clock::now() + scaled(timeout);
    while (!pred()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

}  // namespace kolvtest
