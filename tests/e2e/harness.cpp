#include "e2e/harness.h"

#include <fcntl.h>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/pem.h>
#include <openssl/sha.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

namespace kolvtest {
namespace {

const std::regex kStamp(R"(\[\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\] )");

std::string envText(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

bool isStampAt(const std::string& line, std::size_t at) {
    return line.size() >= at + 22 && std::regex_match(line.substr(at, 22), kStamp);
}

bool waitFd(int fd, short events, Clock::time_point deadline) {
    pollfd p{fd, events, 0};
    auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
    return ::poll(&p, 1, static_cast<int>(std::clamp<long long>(left, 0, 1 << 30))) > 0;
}

// The first address of "localhost" here: clients connect to it by default.
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

// A socket bound (bind) or connected to the numeric host:port, or -1.
int openSocket(const std::string& host, int port, bool bind, int receiveBuffer = 0) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* address = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &address) != 0) return -1;
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

// Certificates made in memory on first use: self-signed ones, and a test CA
// with the leaves it signed.
struct TestCertificate {
    EVP_PKEY* key;
    X509* cert = X509_new();
};

// A CA when issuer is null; a leaf otherwise, with altName as its subjectAltName when given.
TestCertificate makeCertificate(const char* commonName, const TestCertificate* issuer, const char* altName,
                                bool rsa = false) {
    TestCertificate made{rsa ? EVP_RSA_gen(2048) : EVP_EC_gen("P-256")};
    ASN1_INTEGER_set(X509_get_serialNumber(made.cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(made.cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(made.cert), 86400);
    X509_set_pubkey(made.cert, made.key);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(made.cert), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
    X509V3_CTX v3;
    X509V3_set_ctx(&v3, issuer ? issuer->cert : made.cert, made.cert, nullptr, nullptr, 0);
    if (issuer == nullptr || altName != nullptr) {
        X509_EXTENSION* extension = X509V3_EXT_conf_nid(
            nullptr, &v3, altName ? NID_subject_alt_name : NID_basic_constraints, altName ? altName : "critical,CA:TRUE");
        X509_add_ext(made.cert, extension, -1);
        X509_EXTENSION_free(extension);
    }
    X509_set_issuer_name(made.cert, X509_get_subject_name(issuer ? issuer->cert : made.cert));
    X509_sign(made.cert, issuer ? issuer->key : made.key, EVP_sha256());
    return made;
}

const TestCertificate& testCa() {
    static const TestCertificate ca = makeCertificate("Kolv Test CA", nullptr, nullptr);
    return ca;
}

const TestCertificate& certificateFor(HostMode mode) {
    static const TestCertificate selfSigned = makeCertificate("kolv-test", nullptr, nullptr);
    static const TestCertificate right = makeCertificate("kolv-host", &testCa(), "IP:127.0.0.2");
    static const TestCertificate wrong = makeCertificate("kolv-host", &testCa(), "DNS:elsewhere.test");
    static const TestCertificate nameInSan = makeCertificate("kolv-host", &testCa(), "DNS:kolv.test");
    static const TestCertificate nameInCn = makeCertificate("kolv.test", &testCa(), nullptr);
    if (mode == HostMode::OldTls) {
        static const TestCertificate old = makeCertificate("kolv-old", nullptr, nullptr, true);
        return old;
    }
    switch (mode) {
        case HostMode::TlsFromTestCa: return right;
        case HostMode::TlsFromTestCaOtherName: return wrong;
        case HostMode::NameInSan: return nameInSan;
        case HostMode::NameInCn: return nameInCn;
        default: return selfSigned;
    }
}

// A server context for the TLS modes, null for the others.
SSL_CTX* serverContext(HostMode mode) {
    if (mode == HostMode::Plain || mode == HostMode::PlainAnswerToTls || mode == HostMode::Silent) return nullptr;
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(ctx, certificateFor(mode).cert);
    SSL_CTX_use_PrivateKey(ctx, certificateFor(mode).key);
    if (mode == HostMode::OldTls) {  // a legacy host; the library allows its suite only at security level 0
        SSL_CTX_set_min_proto_version(ctx, TLS1_1_VERSION);
        SSL_CTX_set_max_proto_version(ctx, TLS1_1_VERSION);
        SSL_CTX_set_cipher_list(ctx, "AES128-SHA:@SECLEVEL=0");
    }
    return ctx;
}

std::string platformText() {
    std::string overridden = envText("KOLV_BRIDGE_PLATFORM");
    return overridden.empty() ? "Linux.x64" : overridden;
}

}  // namespace

Millis scaled(Millis timeout) {
    double scale = std::atof(envText("KOLV_TEST_TIMEOUT_SCALE").c_str());
    return scale > 1 ? Millis(static_cast<long long>(static_cast<double>(timeout.count()) * scale)) : timeout;
}

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

std::string Dir::read(const fs::path& name) const {
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
                                  "--software", config.software, "--force"};
    if (config.tls) args.push_back("--tls");
    for (std::size_t i = 0; i < config.info.size() && i < 5; ++i) {
        args.push_back(kInfoFlags[i]);
        args.push_back(config.info[i]);
    }
    Process setup(toolCommand("kolv-setup", args), dir);
    ASSERT_EQ(setup.exitCode(10s), 0) << setup.out() << setup.err();
}

// Output goes to files in the folder: what the program wrote is there at once.
Process::Process(std::vector<std::string> argv, const Dir& dir, bool isBridge) : dir_(dir), isBridge_(isBridge) {
    static std::atomic<int> count{0};
    const std::string name = ".process-" + std::to_string(++count);
    outFile_ = name + ".out";
    errFile_ = name + ".err";
    pid_ = ::fork();
    if (pid_ == 0) {
        ::setpgid(0, 0);
        ::dup2(::open("/dev/null", O_RDONLY), 0);
        ::dup2(::open((dir.path / outFile_).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
        ::dup2(::open((dir.path / errFile_).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
        if (::chdir(dir.path.c_str()) != 0) ::_exit(126);
        std::vector<char*> words;
        for (auto& word : argv) words.push_back(word.data());
        words.push_back(nullptr);
        ::execvp(words[0], words.data());
        ::_exit(127);
    }
}

Process::~Process() {
    ::kill(-pid_, SIGKILL);
    if (!exit_) ::waitpid(pid_, nullptr, 0);
    std::string errors = err();
    if (isBridge_ && (errors.find("Sanitizer") != std::string::npos || errors.find("runtime error:") != std::string::npos)) {
        ADD_FAILURE() << "sanitizer report from the bridge:\n" << errors;
    }
}

std::string Process::out() const { return dir_.read(outFile_); }
std::string Process::err() const { return dir_.read(errFile_); }

bool Process::waitFor(std::string_view needle, Millis timeout, std::size_t count) const {
    return waitUntil([&] { return countOf(out(), needle) >= count; }, timeout);
}

std::optional<int> Process::exitCode(Millis timeout) {
    waitUntil(
        [&] {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
            exit_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return true;
        },
        exit_ ? 0ms : timeout);
    return exit_;
}

static std::vector<std::string> bridgeCommand() {
    std::vector<std::string> argv;
    std::istringstream words(envText("KOLV_BRIDGE_CMD"));
    for (std::string word; words >> word;) argv.push_back(word);
    if (argv.empty()) argv.push_back(KOLV_BRIDGE_PATH);
    return argv;
}

std::unique_ptr<Process> startBridge(const Dir& dir, std::vector<std::string> args, std::vector<std::string> prefix) {
    std::vector<std::string> argv = bridgeCommand();
    argv.insert(argv.begin(), prefix.begin(), prefix.end());
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<Process>(argv, dir, true);
}

std::vector<std::string> withHosts(const Dir& dir, const std::string& hosts) {
    dir.write("hosts", hosts);
    const std::string script = "mount --bind " + (dir.path / "hosts").string() + " /etc/hosts && exec \"$0\" \"$@\"";
    return {"unshare", "-m", "sh", "-c", script};
}

std::vector<std::string> toolCommand(const std::string& name, std::vector<std::string> args) {
    args.insert(args.begin(), std::string(KOLV_TOOLS_DIR) + "/" + name);
    return args;
}

Session::Session(std::vector<std::string> args, HostMode mode, void (*tweak)(Config&), int receiveBuffer)
    : host(mode, receiveBuffer) {
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

// A client that sent its first packet, got its latency notice, and whose
// packet the host has read.
std::unique_ptr<Stream> Session::join(const std::string& user) {
    auto client = connectClient(host.port());
    if (client == nullptr || !client->send(chat(user, "joins")) ||
        client->readLine(5s).value_or("").find("~LATENCY:") == std::string::npos ||
        link->readLine(5s) != chat(user, "joins")) {
        throw std::runtime_error("join of " + user);
    }
    return client;
}

Stream::Stream(int fd, SSL* ssl) : fd_(fd), ssl_(ssl), eof_(fd < 0) {
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
        const int sslError = ssl_ != nullptr ? SSL_get_error(ssl_, static_cast<int>(n)) : SSL_ERROR_NONE;
        bool again = ssl_ != nullptr ? sslError == SSL_ERROR_WANT_READ : n < 0 && (errno == EAGAIN || errno == EINTR);
        if (!again) {
            ERR_clear_error();
            orderly_ = ssl_ != nullptr ? sslError == SSL_ERROR_ZERO_RETURN : n == 0;
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
    for (auto end = buffer_.find('\n'); end == std::string::npos; end = buffer_.find('\n')) {
        if (!fill(deadline)) return std::nullopt;
    }
    std::string line = buffer_.substr(0, buffer_.find('\n') + 1);
    buffer_.erase(0, line.size());
    return line;
}

std::string Stream::readToEnd(Millis timeout) {
    const auto deadline = Clock::now() + scaled(timeout);
    while (fill(deadline)) {
    }
    return std::exchange(buffer_, std::string());
}

int Stream::peerPort() const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    ::getpeername(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

bool inPrivateNetwork() {
    if (envText("KOLV_TEST_PRIVATE_NETWORK") == "1") return true;
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    Dir dir;
    ::setenv("KOLV_TEST_PRIVATE_NETWORK", "1", 1);
    Process inner({"unshare", "-n", "--", "sh", "-c", "ip link set lo up && exec \"$0\" \"$@\"",
                   fs::read_symlink("/proc/self/exe").string(),
                   std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name()},
                  dir);
    ::unsetenv("KOLV_TEST_PRIVATE_NETWORK");
    EXPECT_EQ(inner.exitCode(scaled(600s)), 0) << "the run in a private network (needs root and nft):\n"
                                               << inner.out() << inner.err();
    return false;
}

void dropConnection(int port) {
    const std::string p = std::to_string(port);
    const std::string rules = "nft add table inet kolv && "
                              "nft add chain inet kolv input '{ type filter hook input priority 0; }' && "
                              "nft add rule inet kolv input tcp sport " + p + " drop && "
                              "nft add rule inet kolv input tcp dport " + p + " drop";
    ASSERT_EQ(std::system(rules.c_str()), 0) << rules;
}

int freePort() {
    int port = 0;
    ::close(hostSocket(port, 0));
    return port;
}

Host::Host(HostMode mode, int receiveBuffer, int port) : mode_(mode), context_(serverContext(mode)), port_(port) {
    ::signal(SIGPIPE, SIG_IGN);  // a bridge that aborts a TLS handshake leaves the library writing to a closed socket
    listenFd_ = port > 0 ? openSocket("127.0.0.2", port, true) : hostSocket(port_, receiveBuffer);
    if (listenFd_ < 0 || ::listen(listenFd_, 16) != 0) throw std::runtime_error("listen failed");
    acceptor_ = std::thread([this] { acceptLoop(); });
}

Host::~Host() {
    stopListening();
    for (int fd : silent_) ::close(fd);
    SSL_CTX_free(context_);
}

void Host::stopListening() {
    ::shutdown(listenFd_, SHUT_RDWR);  // wakes the accept
    if (acceptor_.joinable()) acceptor_.join();
    ::close(std::exchange(listenFd_, -1));
}

// Tls: the handshake is done before a link is handed out. PlainAnswerToTls
// reads the ClientHello first and answers in plain text.
void Host::acceptLoop() {
    for (int fd; (fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
        timeval limit{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        SSL* ssl = nullptr;
        if (mode_ == HostMode::Silent) {
            std::lock_guard<std::mutex> lock(mutex_);
            silent_.emplace_back(fd);  // held open, never read
            continue;
        }
        if (context_ != nullptr) {
            ssl = SSL_new(context_);
            SSL_set_fd(ssl, fd);
            if (SSL_accept(ssl) <= 0) {
                SSL_free(ssl);
                ::close(fd);
                continue;
            }
        } else if (char hello[4096]; mode_ == HostMode::PlainAnswerToTls && ::recv(fd, hello, sizeof hello, 0) > 0) {
            ::send(fd, "NOT-TLS\r\n", 9, MSG_NOSIGNAL);
        }
        std::lock_guard<std::mutex> lock(mutex_);
        links_.push_back(std::make_shared<Stream>(fd, ssl));
    }
}

std::shared_ptr<Stream> Host::link(std::size_t n, Millis timeout) {
    std::shared_ptr<Stream> found;
    waitUntil(
        [&] {
            std::lock_guard<std::mutex> lock(mutex_);
            if (links_.size() >= n) found = links_[n - 1];
            return found != nullptr;
        },
        timeout);
    return found;
}

std::unique_ptr<Stream> connectClient(int port, Millis timeout, int sendBuffer, const std::string& address) {
    const auto deadline = Clock::now() + scaled(timeout);
    for (;;) {
        int fd = openSocket(address.empty() ? localAddress() : address, port, false);
        if (fd >= 0 && sendBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
        if (fd >= 0) return std::make_unique<Stream>(fd);
        if (Clock::now() >= deadline) return nullptr;
        std::this_thread::sleep_for(10ms);  // refused: the listener is not open yet
    }
}

int holdPort(const std::string& address, int port) {
    int fd = openSocket(address, port, true);
    if (fd >= 0) ::listen(fd, 1);
    return fd;
}

std::vector<std::string> readUntil(Stream& stream, const std::string& marker, Millis timeout) {
    std::vector<std::string> got;
    for (std::optional<std::string> line; (got.empty() || got.back() != marker) && (line = stream.readLine(timeout));) {
        got.push_back(*line);
    }
    return got;
}

std::string chat(std::string_view user, std::string_view body, std::string_view site) {
    return std::string(user) + "~" + std::string(site) + "~~~~~" + std::string(body) + "~\n";
}

std::string latencyPacket(long long ms) { return "SERVER~~~CLIENT~~~LATENCY:" + std::to_string(ms) + "~\n"; }

bool bridgeIsWindows() { return platformText().rfind("Windows", 0) == 0; }

std::string expectedHandshake(std::string_view site, std::string_view software) {
    return std::string(site) + "~" + std::string(software) + "/" + platformText() + "/1.3.103";
}

namespace {

// What write puts into a memory BIO.
template <typename Write>
std::string pemText(Write write) {
    BIO* bio = BIO_new(BIO_s_mem());
    write(bio);
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    std::string pem(data, static_cast<std::size_t>(length));
    BIO_free(bio);
    return pem;
}

}  // namespace

std::string testCaPem() {
    return pemText([](BIO* bio) { PEM_write_bio_X509(bio, testCa().cert); });
}

std::string hostKeyAndCertificatePem(HostMode mode) {
    return pemText([mode](BIO* bio) {
        PEM_write_bio_PrivateKey(bio, certificateFor(mode).key, nullptr, nullptr, 0, nullptr, nullptr);
        PEM_write_bio_X509(bio, certificateFor(mode).cert);
    });
}

std::string hostPin(HostMode mode) {
    unsigned char* der = nullptr;
    int length = i2d_PUBKEY(certificateFor(mode).key, &der);
    unsigned char digest[32];
    SHA256(der, static_cast<std::size_t>(length), digest);
    OPENSSL_free(der);
    std::string pin = "sha256:";
    for (unsigned char byte : digest) pin += "0123456789abcdef"[byte >> 4], pin += "0123456789abcdef"[byte & 15];
    return pin;
}

int osError(std::string_view name) {
    static const std::pair<std::string_view, std::pair<int, int>> kCodes[] = {
        {"badsocket", {EBADF, 10038}}, {"refused", {ECONNREFUSED, 10061}}, {"connecttimeout", {ETIMEDOUT, 10060}},
        {"addrinuse", {EADDRINUSE, 10048}}, {"addrnotavail", {EADDRNOTAVAIL, 10049}}};
    for (const auto& [known, codes] : kCodes) {
        if (known == name) return bridgeIsWindows() ? codes.second : codes.first;
    }
    throw std::invalid_argument("osError: unknown name");
}

std::vector<std::string> lines(std::string_view text) {
    std::vector<std::string> result;
    for (std::size_t start = 0, end; start < text.size(); start = end + 1) {
        end = std::min(text.find('\n', start), text.size());
        result.emplace_back(text.substr(start, end - start));
    }
    return result;
}

std::size_t countOf(std::string_view text, std::string_view needle) {
    std::size_t found = 0;
    for (auto at = text.find(needle); at != std::string_view::npos; at = text.find(needle, at + needle.size())) ++found;
    return found;
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
    static const std::regex kSslFailed(R"(\[.{19}\] SSL\.\.\.\[.{19}\] SSL_connect failed\.)");
    static const char* const kPlain[] = {"connect failed with error: ", "Unable to connect to server!", "failed.",
                                         "send failed with error: ", "getaddrinfo failed", "client bind failed"};
    std::vector<std::string> torn;
    std::string previous;
    bool banner = true;
    // A running bridge may be part way through its last line.
    for (const std::string& line : lines(output.substr(0, output.rfind('\n') + 1))) {
        banner = banner && !isStampAt(line, 0);
        bool ok = banner || line.empty() || line == "\r" ||
                  (line == "OK\r" && previous.rfind("connect failed with error: ", 0) == 0);
        for (const char* plain : kPlain) ok = ok || line.rfind(plain, 0) == 0;
        if (isStampAt(line, 0)) {
            ok = !std::regex_search(line.begin() + 1, line.end(), kStamp) || std::regex_match(line, kSslFailed);
        }
        if (!ok) torn.push_back(line);
        previous = line;
    }
    return torn;
}

}  // namespace kolvtest
