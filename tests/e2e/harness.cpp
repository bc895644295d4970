#include "e2e/harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>

namespace kolvtest {
namespace {

int millisLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

bool waitFd(int fd, short events, Clock::time_point deadline) {
    pollfd p{fd, events, 0};
    int r;
    do {
        r = ::poll(&p, 1, millisLeft(deadline));
    } while (r < 0 && errno == EINTR);
    return r > 0;
}

// A numeric address and a port; null when host is no numeric address.
addrinfo* numeric(const std::string& host, int port, int flags = 0) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | flags;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    return ::getaddrinfo(host.empty() ? nullptr : host.c_str(), std::to_string(port).c_str(), &hints, &list) == 0
               ? list
               : nullptr;
}

// The first address of "localhost": the only one the bridge listens on.
const std::string& localAddress() {
    static const std::string address = [] {
        addrinfo hints{};
        hints.ai_flags = AI_PASSIVE;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* list = nullptr;
        char text[NI_MAXHOST] = "127.0.0.1";
        if (::getaddrinfo("localhost", nullptr, &hints, &list) == 0) {
            ::getnameinfo(list->ai_addr, list->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST);
            ::freeaddrinfo(list);
        }
        return std::string(text);
    }();
    return address;
}

// A socket bound (bind) or connected to host:port, or -1.
int openSocket(const std::string& host, int port, bool bind, int receiveBuffer = 0) {
    addrinfo* address = numeric(host, port);
    if (address == nullptr) return -1;
    int fd = ::socket(address->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (receiveBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    int r = bind ? ::bind(fd, address->ai_addr, address->ai_addrlen) : ::connect(fd, address->ai_addr, address->ai_addrlen);
    ::freeaddrinfo(address);
    if (r == 0) return fd;
    ::close(fd);
    return -1;
}

// A socket bound to 127.0.0.2 on a port that is also free locally.
int hostSocket(int& port, int receiveBuffer) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        int probe = openSocket(localAddress(), 0, true);
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);  // the same place in both families
        int fd = openSocket("127.0.0.2", port, true, receiveBuffer);
        ::close(probe);
        if (fd >= 0) return fd;
    }
    throw std::runtime_error("no free port");
}

ssl_ctx_st* serverContext() {
    static SSL_CTX* context = [] {
        SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
        EVP_PKEY* key = EVP_EC_gen("P-256");
        X509* cert = X509_new();
        ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
        X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
        X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
        X509_set_pubkey(cert, key);
        X509_NAME* name = X509_get_subject_name(cert);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("kolv-test"), -1,
                                   -1, 0);
        X509_set_issuer_name(cert, name);
        X509_sign(cert, key, EVP_sha256());
        SSL_CTX_use_certificate(ctx, cert);
        SSL_CTX_use_PrivateKey(ctx, key);
        return ctx;
    }();
    return context;
}

std::string envText(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

const std::regex kStamp(R"(\[\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\] )");

bool isStampAt(const std::string& line, std::size_t at) {
    return line.size() >= at + 22 && std::regex_match(line.substr(at, 22), kStamp);
}

}  // namespace

Millis scaled(Millis timeout) {
    double scale = std::atof(envText("KOLV_TEST_TIMEOUT_SCALE").c_str());
    return scale > 1 ? Millis(static_cast<long long>(static_cast<double>(timeout.count()) * scale)) : timeout;
}

// --- Dir ---

Dir::Dir() {
    std::string pattern = (fs::temp_directory_path() / "kolv-e2e-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = pattern;
}

Dir::~Dir() {
    if (::testing::Test::HasFailure()) {
        std::printf("kept %s\n", path.c_str());
        return;
    }
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

std::string Dir::read(const char* name) const {
    std::ifstream in(path / name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void Dir::write(const char* name, std::string_view bytes) const {
    std::ofstream(path / name, std::ios::binary) << bytes;
}

void writeConfig(const Dir& dir, const Config& config) {
    static const char* const kInfoFlags[] = {"--web", "--tel", "--ssh", "--sys", "--dsc"};
    std::vector<std::string> args{"--host", config.host, "--port", config.port, "--site", config.site,
                                  "--software", config.software};
    if (config.tls) args.push_back("--tls");
    for (std::size_t i = 0; i < config.info.size() && i < 5; ++i) {
        args.push_back(kInfoFlags[i]);
        args.push_back(config.info[i]);
    }
    Process setup(toolCommand("kolv-setup", args), dir.path);
    ASSERT_EQ(setup.exitCode(10s), 0) << setup.out() << setup.err();
}

// --- Process ---

Process::Process(std::vector<std::string> argv, const fs::path& dir, bool isBridge) : isBridge_(isBridge) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_ = ::fork();
    if (pid_ == 0) {
        ::setpgid(0, 0);
        ::dup2(::open("/dev/null", O_RDONLY), 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        if (::chdir(dir.c_str()) != 0) ::_exit(126);
        std::vector<char*> words;
        for (auto& word : argv) words.push_back(word.data());
        words.push_back(nullptr);
        ::execvp(words[0], words.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    outFd_ = out[0];
    errFd_ = err[0];
    reader_ = std::thread([this] { readLoop(); });
}

void Process::readLoop() {
    pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    int open = 2;
    char chunk[4096];
    while (open > 0) {
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            ssize_t n = ::read(fds[i].fd, chunk, sizeof chunk);
            std::lock_guard<std::mutex> lock(mutex_);
            if (n > 0) {
                (i == 0 ? out_ : err_).append(chunk, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open;
            }
        }
        changed_.notify_all();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
    changed_.notify_all();
}

Process::~Process() {
    ::kill(-pid_, SIGKILL);
    if (!exit_) ::waitpid(pid_, nullptr, 0);
    reader_.join();
    ::close(outFd_);
    ::close(errFd_);
    if (isBridge_ && (err_.find("Sanitizer") != std::string::npos || err_.find("runtime error:") != std::string::npos)) {
        ADD_FAILURE() << "sanitizer report from the bridge:\n" << err_;
    }
}

std::string Process::out() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return out_;
}

std::string Process::err() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return err_;
}

bool Process::waitFor(std::string_view needle, Millis timeout, std::size_t count) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, scaled(timeout), [&] {
        std::size_t found = 0;
        for (auto at = out_.find(needle); at != std::string::npos && found < count; at = out_.find(needle, at + 1)) {
            ++found;
        }
        return found >= count;
    });
}

std::optional<int> Process::exitCode(Millis timeout) {
    const auto deadline = Clock::now() + scaled(timeout);
    while (!exit_) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            exit_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        } else if (Clock::now() >= deadline) {
            return std::nullopt;
        } else {
            std::this_thread::sleep_for(5ms);
        }
    }
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, scaled(5s), [&] { return done_; });  // the last output is in
    return exit_;
}

std::vector<std::string> bridgeCommand() {
    std::vector<std::string> argv;
    std::istringstream words(envText("KOLV_BRIDGE_CMD"));
    for (std::string word; words >> word;) argv.push_back(word);
    if (argv.empty()) argv.push_back(KOLV_BRIDGE_PATH);
    return argv;
}

std::unique_ptr<Process> startBridge(const Dir& dir, std::vector<std::string> args) {
    std::vector<std::string> argv = bridgeCommand();
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<Process>(argv, dir.path, true);
}

Session::Session(std::vector<std::string> args, HostMode mode, void (*tweak)(Config&)) : host(mode) {
    Config config(host.portText(), mode != HostMode::Plain);
    if (tweak != nullptr) tweak(config);
    writeConfig(dir, config);
    bridge = startBridge(dir, std::move(args));
    link = host.link(1);
    if (link == nullptr) throw std::runtime_error("no link: " + bridge->out());
    std::string handshake = link->readSome(5s);
    if (handshake != expectedHandshake(config.site, config.software)) throw std::runtime_error("handshake " + handshake);
    if (!link->send("\n")) throw std::runtime_error("host cannot send");
}

std::unique_ptr<Stream> Session::join(const std::string& user) {
    auto client = joinAs(host.port(), user);
    auto line = link->readLine(5s);
    if (client == nullptr || line != chat(user, "joins")) throw std::runtime_error("join of " + user + " failed");
    return client;
}

std::vector<std::string> toolCommand(const std::string& name, std::vector<std::string> args) {
    args.insert(args.begin(), std::string(KOLV_TOOLS_DIR) + "/" + name);
    return args;
}

// --- Stream ---

Stream::Stream(int fd, ssl_st* ssl) : fd_(fd), ssl_(ssl), eof_(fd < 0) {
    if (fd_ >= 0) ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL, 0) | O_NONBLOCK);
}

Stream::~Stream() { close(); }

void Stream::close() {
    if (ssl_ != nullptr) {
        SSL_shutdown(ssl_);
        SSL_free(ssl_);
        ssl_ = nullptr;
    }
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    eof_ = true;
}

bool Stream::send(std::string_view data, Millis timeout) {
    const auto deadline = Clock::now() + scaled(timeout);
    while (!data.empty() && fd_ >= 0) {
        long n = ssl_ != nullptr ? SSL_write(ssl_, data.data(), static_cast<int>(data.size()))
                                 : ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
        if (n > 0) {
            data.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        bool again = ssl_ != nullptr ? SSL_get_error(ssl_, static_cast<int>(n)) == SSL_ERROR_WANT_WRITE
                                     : (errno == EAGAIN || errno == EINTR);
        if (!again || !waitFd(fd_, POLLOUT, deadline)) return false;
    }
    return data.empty();
}

bool Stream::fill(Clock::time_point deadline) {
    char chunk[16384];
    while (!eof_) {
        long n = ssl_ != nullptr ? SSL_read(ssl_, chunk, sizeof chunk) : ::recv(fd_, chunk, sizeof chunk, 0);
        if (n > 0) {
            buffer_.append(chunk, static_cast<std::size_t>(n));
            return true;
        }
        int error = ssl_ != nullptr ? SSL_get_error(ssl_, static_cast<int>(n)) : 0;
        bool again = ssl_ != nullptr ? error == SSL_ERROR_WANT_READ : n < 0 && (errno == EAGAIN || errno == EINTR);
        if (!again) {
            ERR_clear_error();
            eof_ = true;
        } else if (!waitFd(fd_, POLLIN, deadline)) {
            return false;
        }
    }
    return false;
}

std::string Stream::readSome(Millis timeout) {
    if (buffer_.empty()) fill(Clock::now() + scaled(timeout));
    return std::exchange(buffer_, std::string());
}

std::optional<std::string> Stream::readLine(Millis timeout) {
    const auto deadline = Clock::now() + scaled(timeout);
    for (;;) {
        auto end = buffer_.find('\n');
        if (end != std::string::npos) {
            std::string line = buffer_.substr(0, end + 1);
            buffer_.erase(0, end + 1);
            return line;
        }
        if (!fill(deadline)) return std::nullopt;
    }
}

std::string Stream::readToEnd(Millis timeout) {
    const auto deadline = Clock::now() + scaled(timeout);
    while (fill(deadline)) {
    }
    return std::exchange(buffer_, std::string());
}

// --- Host ---

int freePort() {
    int port = 0;
    ::close(hostSocket(port, 0));
    return port;
}

Host::Host(HostMode mode, int receiveBuffer, int port) : mode_(mode), port_(port) {
    listenFd_ = port > 0 ? openSocket("127.0.0.2", port, true) : hostSocket(port_, receiveBuffer);
    if (listenFd_ < 0 || ::listen(listenFd_, 16) != 0) throw std::runtime_error("listen failed");
    acceptor_ = std::thread([this] { acceptLoop(); });
}

Host::~Host() { stopListening(); }

void Host::stopListening() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    if (acceptor_.joinable()) acceptor_.join();
    if (listenFd_ >= 0) ::close(listenFd_);
    listenFd_ = -1;
}

void Host::acceptLoop() {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stop_) return;
        }
        if (!waitFd(listenFd_, POLLIN, Clock::now() + 50ms)) continue;
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        timeval limit{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        SSL* ssl = nullptr;
        std::string first;
        if (mode_ == HostMode::Tls) {
            ssl = SSL_new(serverContext());
            SSL_set_fd(ssl, fd);
            if (SSL_accept(ssl) <= 0) {
                ERR_clear_error();
                SSL_free(ssl);
                ::close(fd);
                continue;
            }
        } else if (mode_ != HostMode::Plain) {
            char chunk[4096];
            long n = ::recv(fd, chunk, sizeof chunk, 0);
            first.assign(chunk, n > 0 ? static_cast<std::size_t>(n) : 0);
            if (mode_ == HostMode::PlainAnswerToTls) ::send(fd, "NOT-TLS\r\n", 9, MSG_NOSIGNAL);
            if (mode_ == HostMode::CloseDuringTls) {
                ::close(fd);
                fd = -1;
            }
        }
        std::lock_guard<std::mutex> lock(mutex_);
        links_.push_back(std::make_shared<Stream>(fd, ssl));
        firstBytes_.push_back(first);
        changed_.notify_all();
    }
}

std::shared_ptr<Stream> Host::link(std::size_t n, Millis timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, scaled(timeout), [&] { return links_.size() >= n; });
    return links_.size() >= n ? links_[n - 1] : nullptr;
}

std::string Host::firstBytes(std::size_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    return firstBytes_.size() >= n ? firstBytes_[n - 1] : std::string();
}

// --- clients and texts ---

std::unique_ptr<Stream> connectClient(int port, Millis timeout, int sendBuffer) {
    const auto deadline = Clock::now() + scaled(timeout);
    for (;;) {
        int fd = openSocket(localAddress(), port, false);
        if (fd >= 0 && sendBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
        if (fd >= 0) return std::make_unique<Stream>(fd);
        if (Clock::now() >= deadline) return nullptr;
        std::this_thread::sleep_for(10ms);  // refused: the listener is not open yet
    }
}

std::unique_ptr<Stream> joinAs(int port, const std::string& user) {
    auto client = connectClient(port);
    if (client == nullptr || !client->send(chat(user, "joins"))) return nullptr;
    auto notice = client->readLine(5s);
    if (!notice || notice->find("~LATENCY:") == std::string::npos) return nullptr;
    return client;
}

std::vector<std::string> readUntil(Stream& stream, const std::string& marker, Millis timeout) {
    std::vector<std::string> got;
    while (got.empty() || got.back() != marker) {
        auto line = stream.readLine(timeout);
        if (!line) break;
        got.push_back(*line);
    }
    return got;
}

std::string chat(std::string_view user, std::string_view body, std::string_view site) {
    return std::string(user) + "~" + std::string(site) + "~~~~~" + std::string(body) + "~\n";
}

std::string latencyPacket(long long ms) { return "SERVER~~~CLIENT~~~LATENCY:" + std::to_string(ms) + "~\n"; }

std::string platformText() {
    std::string overridden = envText("KOLV_BRIDGE_PLATFORM");
    return overridden.empty() ? "Linux.x64" : overridden;
}

bool bridgeIsWindows() { return platformText().rfind("Windows", 0) == 0; }

std::string expectedHandshake(std::string_view site, std::string_view software) {
    return std::string(site) + "~" + std::string(software) + "/" + platformText() + "/1.3.103";
}

int osError(std::string_view name) {
    struct Code {
        std::string_view name;
        int posix, windows;
    };
    static constexpr Code kCodes[] = {
        {"badsocket", EBADF, 10038}, {"inuse", EADDRINUSE, 10048},
        {"timedout", EAGAIN, 10060}, {"refused", ECONNREFUSED, 10061}};
    for (const Code& code : kCodes) {
        if (code.name == name) return bridgeIsWindows() ? code.windows : code.posix;
    }
    throw std::invalid_argument("osError: unknown name");
}

std::vector<std::string> lines(std::string_view text) {
    std::vector<std::string> result;
    std::size_t start = 0;
    for (auto end = text.find('\n'); end != std::string_view::npos; end = text.find('\n', start)) {
        result.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    if (start < text.size()) result.emplace_back(text.substr(start));
    return result;
}

std::vector<std::string> stamped(std::string_view output) {
    std::vector<std::string> result;
    for (std::string line : lines(output)) {
        if (!isStampAt(line, 0)) continue;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        result.push_back(line.substr(22));
    }
    return result;
}

std::vector<std::string> logMessages(const Dir& dir) {
    static constexpr std::string_view kSource = "source=kolv-bridge ";
    std::vector<std::string> messages;
    for (std::string line : lines(dir.read("kolv.log"))) {
        bool crlf = !line.empty() && line.back() == '\r';
        if (crlf) line.pop_back();
        bool wellFormed = crlf == bridgeIsWindows() && isStampAt(line, 0) && line.compare(22, kSource.size(), kSource) == 0;
        EXPECT_TRUE(wellFormed) << "log line: " << line;
        messages.push_back(wellFormed ? line.substr(22 + kSource.size()) : line);
    }
    return messages;
}

std::vector<std::string> tornLines(std::string_view output) {
    static constexpr std::string_view kPlain[] = {"connect failed with error: ", "Unable to connect to server!",
                                                  "failed.", "send failed with error: ", "getaddrinfo failed",
                                                  "client bind failed"};
    std::vector<std::string> torn;
    std::string previous;
    bool banner = true;
    for (const std::string& line : lines(output)) {
        banner = banner && !isStampAt(line, 0);
        bool ok = banner || line.empty() || line == "\r";
        std::smatch second;
        if (isStampAt(line, 0)) {
            ok = !std::regex_search(line.begin() + 1, line.end(), second, kStamp) ||
                 std::regex_match(line, std::regex(R"(\[.{19}\] SSL\.\.\.\[.{19}\] SSL_connect failed\.)"));
        }
        for (std::string_view plain : kPlain) ok = ok || line.rfind(plain, 0) == 0;
        ok = ok || (line == "OK\r" && previous.rfind("connect failed with error: ", 0) == 0);
        if (!ok) torn.push_back(line);
        previous = line;
    }
    return torn;
}

}  // namespace kolvtest
