// ulk-sim: a small stand-in for the chat host, so the bridge can be tried and
// tested on one machine. It greets each site, pings it, answers its statistics
// requests, echoes and passes on chat, and can drop sites to exercise reconnects.
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/net_headers.h"
#include "platform/socket.h"
#include "platform/system.h"

namespace {

using kolv::SocketHandle;
using kolv::WaitFor;

constexpr std::size_t kMaxSites = 64;
constexpr long kMaxSeconds = 7L * 24 * 3600;
constexpr std::int64_t kWriteTimeoutMs = 5000;
constexpr std::int64_t kTlsAcceptTimeoutMs = 10000;
// A site that sends a partial line and then nothing for this long gets it handled as it is.
constexpr std::int64_t kStalledLineMs = 500;
constexpr std::size_t kMaxLine = 16384;
// On a drop or at exit, how long to wait for the site to close its side, so it
// sees an orderly end of stream and not a reset.
constexpr std::int64_t kDrainMs = 1000;

struct Options {
    std::string listen = "127.0.0.2";
    std::string port = "2323";
    bool tls = false;
    std::string certFile;
    std::string keyFile;
    long pingSeconds = 30;
    bool statsGiven = false;
    std::string statsText;
    long dropAfterSeconds = 0;
    bool dropOnce = false;
    long exitAfterSeconds = 0;
    bool echo = true;
    long latencyMs = 0;
    bool quiet = false;
};

struct Site {
    int number = 0;
    SocketHandle socket = kolv::kInvalidSocket;
    SSL* ssl = nullptr;             // under ioMutex
    std::mutex writeMutex;          // one packet at a time; the socket stays open while held
    std::mutex ioMutex;             // the TLS object is never used by two threads at once
    bool closed = false;            // under writeMutex
    std::atomic<bool> dropRequested{false};
    std::atomic<bool> ready{false};  // handshake received; the fields below are set before
    std::string handshake;
    std::int64_t readyAtMs = 0;
    // Touched by the timer loop only.
    std::int64_t nextPingMs = 0;
    bool dropTimerDone = false;
};

Options gOptions;
SSL_CTX* gTls = nullptr;
std::mutex gOutMutex;
std::mutex gSitesMutex;
std::vector<std::shared_ptr<Site>> gSites;
std::atomic<int> gSiteCounter{0};
std::atomic<bool> gDroppedOnce{false};
std::atomic<bool> gFinishing{false};

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void report(const std::string& text) {
    kolv::LocalTime t = kolv::localTimeNow();
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "[%02d:%02d:%02d] ", t.hour, t.minute, t.second);
    std::string line = stamp + text + "\n";
    std::lock_guard<std::mutex> lock(gOutMutex);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

std::string siteTag(const Site& site) { return "#" + std::to_string(site.number); }

// Control bytes would garble the trace; show them as \xNN.
std::string printable(const std::string& text) {
    std::string out;
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (c < 32 || c == 127) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned>(c));
            out += hex;
        } else {
            out += ch;
        }
    }
    return out;
}

std::string tlsErrorText(const char* what, int code) {
    unsigned long queued = ERR_get_error();
    ERR_clear_error();
    if (queued == 0) return std::string(what) + " error " + std::to_string(code);
    char text[256];
    ERR_error_string_n(queued, text, sizeof text);
    return std::string(what) + ": " + text;
}

std::vector<std::shared_ptr<Site>> siteSnapshot() {
    std::lock_guard<std::mutex> lock(gSitesMutex);
    return gSites;
}

// Writes the whole text or gives up: on failure the site is marked for dropping.
bool sendToSite(Site& site, const std::string& data) {
    std::lock_guard<std::mutex> writeLock(site.writeMutex);
    if (site.closed) return false;
    std::int64_t deadline = nowMs() + kWriteTimeoutMs;
    std::size_t done = 0;
    while (done < data.size()) {
        std::size_t length = data.size() - done;
        long sent = 0;
        WaitFor waitFor = WaitFor::Write;
        std::string failure;
        {
            std::lock_guard<std::mutex> ioLock(site.ioMutex);
            if (site.ssl != nullptr) {
                ERR_clear_error();
                int n = SSL_write(site.ssl, data.data() + done, length > INT_MAX ? INT_MAX : static_cast<int>(length));
                if (n > 0) {
                    sent = n;
                } else {
                    int error = SSL_get_error(site.ssl, n);
                    if (error == SSL_ERROR_WANT_READ) waitFor = WaitFor::Read;
                    else if (error != SSL_ERROR_WANT_WRITE) failure = tlsErrorText("SSL_write", error);
                }
            } else {
                sent = kolv::socketSend(site.socket, data.data() + done, length);
                if (sent < 0) {
                    int error = kolv::lastSocketError();
                    if (kolv::isWouldBlock(error)) sent = 0;
                    else failure = "send error " + std::to_string(error);
                }
            }
        }
        if (sent > 0) {
            done += static_cast<std::size_t>(sent);
            continue;
        }
        std::int64_t left = deadline - nowMs();
        if (failure.empty() && left <= 0) failure = "send timed out";
        if (failure.empty() && kolv::waitSocket(site.socket, waitFor, static_cast<int>(left)) < 0)
            failure = "wait error " + std::to_string(kolv::lastSocketError());
        if (!failure.empty()) {
            if (!site.dropRequested.exchange(true)) report(siteTag(site) + " " + failure + "; dropping");
            return false;
        }
    }
    return true;
}

// A packet of the host's own, traced unless --quiet.
void sendHostPacket(Site& site, const std::string& packet) {
    if (!gOptions.quiet) report(siteTag(site) + " -> " + printable(packet));
    sendToSite(site, packet + "\n");
}

std::size_t readySiteCount() {
    std::size_t count = 0;
    for (const auto& site : siteSnapshot()) if (site->ready.load()) ++count;
    return count;
}

std::string statsText() {
    if (gOptions.statsGiven) return gOptions.statsText;
    return "sites=" + std::to_string(readySiteCount()) + " users=0";
}

std::vector<std::string> splitTildes(const std::string& line) {
    std::vector<std::string> pieces(1);
    for (char c : line) {
        if (c == '~') pieces.emplace_back();
        else pieces.back() += c;
    }
    return pieces;
}

// One line from a site, without its line end, read at arrivedMs.
void handleLine(const std::shared_ptr<Site>& site, const std::string& line, bool hadLineEnd, std::int64_t arrivedMs) {
    std::vector<std::string> fields = splitTildes(line);
    std::string note = hadLineEnd ? "" : "  [no line end]";
    if (fields.size() < 7) {
        if (!gOptions.quiet) report(siteTag(*site) + " <- " + printable(line) + note + "  [not a packet; ignored]");
        return;
    }
    if (!gOptions.quiet) report(siteTag(*site) + " <- " + printable(line) + note);
    if (fields[3] == "SERVER") {
        if (fields[6] == "STATS") sendHostPacket(*site, "SERVER~~~~~~STATS:" + statsText() + "~");
        return;
    }
    std::string wire = hadLineEnd ? line + "\n" : line;
    // Stands in for the way to a remote host and back; counted from arrival, so
    // lines of one read are not delayed one after the other.
    std::int64_t wait = arrivedMs + gOptions.latencyMs - nowMs();
    if (wait > 0) kolv::sleepMs(wait);
    for (const auto& other : siteSnapshot()) {
        if (!other->ready.load()) continue;
        if (other == site && !gOptions.echo) continue;
        sendToSite(*other, wire);
    }
}

void handleData(const std::shared_ptr<Site>& site, std::string& carry, const char* data, std::size_t size,
                std::int64_t arrivedMs) {
    carry.append(data, size);
    std::size_t start = 0;
    for (;;) {
        std::size_t end = carry.find('\n', start);
        if (end == std::string::npos) break;
        handleLine(site, carry.substr(start, end - start), true, arrivedMs);
        start = end + 1;
    }
    carry.erase(0, start);
    if (carry.size() >= kMaxLine) {
        handleLine(site, carry, false, arrivedMs);
        carry.clear();
    }
}

void onHandshake(const std::shared_ptr<Site>& site, std::string text) {
    site->handshake = std::move(text);
    site->readyAtMs = nowMs();
    site->nextPingMs = site->readyAtMs + gOptions.pingSeconds * 1000;
    site->ready.store(true);
    report(siteTag(*site) + " handshake \"" + printable(site->handshake) + "\"");
    sendHostPacket(*site, "SERVER~~~~~~HELLO~");
}

bool acceptTls(Site& site) {
    SSL* ssl = SSL_new(gTls);
    if (ssl == nullptr) {
        report(siteTag(site) + " TLS failed: " + tlsErrorText("SSL_new", 0));
        return false;
    }
    SSL_set_fd(ssl, static_cast<int>(site.socket));
    std::int64_t deadline = nowMs() + kTlsAcceptTimeoutMs;
    for (;;) {
        ERR_clear_error();
        int r = SSL_accept(ssl);
        if (r == 1) break;
        int error = SSL_get_error(ssl, r);
        std::int64_t left = deadline - nowMs();
        if ((error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) || left <= 0 ||
            site.dropRequested.load()) {
            std::string why = left <= 0 ? std::string("timed out") : tlsErrorText("SSL_accept", error);
            report(siteTag(site) + " TLS failed: " + why);
            SSL_free(ssl);
            return false;
        }
        kolv::waitSocket(site.socket, error == SSL_ERROR_WANT_READ ? WaitFor::Read : WaitFor::Write,
                         static_cast<int>(left < 100 ? left : 100));
    }
    {
        std::lock_guard<std::mutex> ioLock(site.ioMutex);
        site.ssl = ssl;
    }
    report(siteTag(site) + " TLS ok (" + SSL_get_version(ssl) + ")");
    return true;
}

// Ends the connection in order: TLS close, our end of stream, then a bounded wait
// for the site's end of stream, so it reads a clean close rather than a reset.
void closeSite(const std::shared_ptr<Site>& site, const std::string& why, bool orderly) {
    {
        std::lock_guard<std::mutex> writeLock(site->writeMutex);
        std::lock_guard<std::mutex> ioLock(site->ioMutex);
        site->closed = true;
        if (site->ssl != nullptr) {
            if (orderly) SSL_shutdown(site->ssl);
            SSL_free(site->ssl);
            site->ssl = nullptr;
            ERR_clear_error();
        }
    }
    if (orderly) {
        kolv::shutdownSend(site->socket);
        std::int64_t deadline = nowMs() + kDrainMs;
        char discard[4096];
        for (;;) {
            std::int64_t left = deadline - nowMs();
            if (left <= 0) break;
            int ready = kolv::waitSocket(site->socket, WaitFor::Read, static_cast<int>(left));
            if (ready <= 0) break;
            long n = kolv::socketRecv(site->socket, discard, sizeof discard);
            if (n == 0 || (n < 0 && !kolv::isWouldBlock(kolv::lastSocketError()))) break;
        }
    }
    kolv::closeSocket(site->socket);
    {
        std::lock_guard<std::mutex> lock(gSitesMutex);
        for (auto it = gSites.begin(); it != gSites.end(); ++it) {
            if (*it == site) {
                gSites.erase(it);
                break;
            }
        }
    }
    report(siteTag(*site) + " closed: " + why);
}

void serveSite(std::shared_ptr<Site> site) {
    kolv::setNonBlocking(site->socket, true);
    if (gTls != nullptr && !acceptTls(*site)) {
        closeSite(site, "no TLS", false);
        return;
    }
    std::string carry;
    std::int64_t lastDataMs = nowMs();
    std::vector<char> buffer(16384);
    std::string why;
    bool orderly = true;
    for (;;) {
        if (site->dropRequested.load()) {
            why = "dropped";
            break;
        }
        long n = 0;
        bool again = false;
        WaitFor waitFor = WaitFor::Read;
        {
            std::lock_guard<std::mutex> ioLock(site->ioMutex);
            if (site->ssl != nullptr) {
                ERR_clear_error();
                int r = SSL_read(site->ssl, buffer.data(), static_cast<int>(buffer.size()));
                if (r > 0) {
                    n = r;
                } else {
                    int error = SSL_get_error(site->ssl, r);
                    if (error == SSL_ERROR_WANT_READ) {
                        again = true;
                    } else if (error == SSL_ERROR_WANT_WRITE) {
                        again = true;
                        waitFor = WaitFor::Write;
                    } else if (error == SSL_ERROR_ZERO_RETURN) {
                        why = "the site closed the connection";
                    } else {
                        why = tlsErrorText("SSL_read", error);
                        orderly = false;
                    }
                }
            } else {
                n = kolv::socketRecv(site->socket, buffer.data(), buffer.size());
                if (n == 0) {
                    why = "the site closed the connection";
                } else if (n < 0) {
                    int error = kolv::lastSocketError();
                    if (kolv::isWouldBlock(error)) {
                        again = true;
                    } else {
                        why = "recv error " + std::to_string(error);
                        orderly = false;
                    }
                }
            }
        }
        if (n > 0) {
            lastDataMs = nowMs();
            std::size_t size = static_cast<std::size_t>(n);
            if (!site->ready.load()) onHandshake(site, std::string(buffer.data(), size));
            else handleData(site, carry, buffer.data(), size, lastDataMs);
            continue;
        }
        if (!again) break;
        if (!carry.empty() && nowMs() - lastDataMs >= kStalledLineMs) {
            handleLine(site, carry, false, nowMs());
            carry.clear();
        }
        kolv::waitSocket(site->socket, waitFor, 100);
    }
    if (!carry.empty() && !gOptions.quiet)
        report(siteTag(*site) + " unfinished line dropped: " + printable(carry));
    closeSite(site, why, orderly);
}

void acceptLoop(SocketHandle listening) {
    for (;;) {
        SocketHandle client = kolv::acceptSocket(listening);
        if (client == kolv::kInvalidSocket) {
            report("accept error " + std::to_string(kolv::lastSocketError()));
            kolv::sleepMs(100);
            continue;
        }
        if (gFinishing.load()) {
            kolv::closeSocket(client);
            continue;
        }
        auto site = std::make_shared<Site>();
        site->number = ++gSiteCounter;
        site->socket = client;
        {
            std::lock_guard<std::mutex> lock(gSitesMutex);
            if (gSites.size() >= kMaxSites) {
                kolv::closeSocket(client);
                site.reset();
            } else {
                gSites.push_back(site);
            }
        }
        if (!site) {
            report("connection refused: already " + std::to_string(kMaxSites) + " sites");
            continue;
        }
        report(siteTag(*site) + " connected");
        try {
            std::thread(serveSite, site).detach();
        } catch (const std::exception& e) {
            closeSite(site, std::string("no thread: ") + e.what(), false);
        }
    }
}

void requestDropAll() {
    for (const auto& site : siteSnapshot()) site->dropRequested.store(true);
}

[[noreturn]] void finish(const std::string& why) {
    if (gFinishing.exchange(true)) {
        // Someone else is already closing down; it ends the process.
        for (;;) kolv::sleepMs(1000);
    }
    report("exiting: " + why);
    requestDropAll();
    std::int64_t deadline = nowMs() + kDrainMs + 500;
    while (nowMs() < deadline) {
        {
            std::lock_guard<std::mutex> lock(gSitesMutex);
            if (gSites.empty()) break;
        }
        kolv::sleepMs(20);
    }
    {
        std::lock_guard<std::mutex> lock(gOutMutex);
        std::fflush(stdout);
    }
    if (gTls != nullptr) SSL_CTX_free(gTls);
    kolv::exitProcess(0);
}

void sendToReadySites(const std::string& packet) {
    std::size_t count = 0;
    for (const auto& site : siteSnapshot()) {
        if (!site->ready.load()) continue;
        sendHostPacket(*site, packet);
        ++count;
    }
    if (count == 0) report("no site is connected");
}

const char* kCommandHelp = "commands: drop | say TEXT | ping | hello | sites | quit";

void runCommand(const std::string& line) {
    std::string command = line.substr(0, line.find(' '));
    std::string rest = line.size() > command.size() ? line.substr(command.size() + 1) : std::string();
    if (command.empty()) return;
    if (command == "drop") {
        report("dropping every site");
        requestDropAll();
    } else if (command == "say") {
        sendToReadySites(rest.find('~') != std::string::npos ? rest : "Host~ulk-sim~~~~~" + rest + "~");
    } else if (command == "ping") {
        sendToReadySites("SERVER~~~~~~ping~");
    } else if (command == "hello") {
        sendToReadySites("SERVER~~~~~~HELLO~");
    } else if (command == "sites") {
        auto sites = siteSnapshot();
        report(std::to_string(sites.size()) + " connected");
        for (const auto& site : sites)
            report(siteTag(*site) + (site->ready.load() ? " \"" + printable(site->handshake) + "\"" : " (no handshake yet)"));
    } else if (command == "quit" || command == "exit") {
        finish("quit");
    } else {
        report("unknown command \"" + printable(line) + "\"; " + kCommandHelp);
    }
}

void stdinLoop() {
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, stdin) != nullptr) {
        std::string line = buffer;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        runCommand(line);
    }
    report("standard input closed; commands are off, still running");
}

// Checked once a tick: pings, timed drops and the exit timer.
[[noreturn]] void timerLoop() {
    std::int64_t startMs = nowMs();
    for (;;) {
        kolv::sleepMs(50);
        std::int64_t now = nowMs();
        if (gOptions.exitAfterSeconds > 0 && now - startMs >= gOptions.exitAfterSeconds * 1000)
            finish("--exit-after " + std::to_string(gOptions.exitAfterSeconds) + " s");
        if (gFinishing.load()) continue;
        for (const auto& site : siteSnapshot()) {
            if (!site->ready.load() || site->dropRequested.load()) continue;
            if (gOptions.pingSeconds > 0 && now >= site->nextPingMs) {
                site->nextPingMs = now + gOptions.pingSeconds * 1000;
                sendHostPacket(*site, "SERVER~~~~~~ping~");
            }
            if (gOptions.dropAfterSeconds > 0 && !site->dropTimerDone &&
                now - site->readyAtMs >= gOptions.dropAfterSeconds * 1000) {
                site->dropTimerDone = true;
                if (gOptions.dropOnce && gDroppedOnce.exchange(true)) continue;
                report(siteTag(*site) + " dropping (--drop-after " + std::to_string(gOptions.dropAfterSeconds) + " s)");
                site->dropRequested.store(true);
            }
        }
    }
}

SSL_CTX* makeTlsContext() {
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (context == nullptr) {
        std::fprintf(stderr, "ulk-sim: %s\n", tlsErrorText("SSL_CTX_new", 0).c_str());
        return nullptr;
    }
    // Sites may close without a TLS close; that is an end of stream, not an error.
    SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF);
    if (!gOptions.certFile.empty()) {
        if (SSL_CTX_use_certificate_chain_file(context, gOptions.certFile.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(context, gOptions.keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
            SSL_CTX_check_private_key(context) != 1) {
            std::fprintf(stderr, "ulk-sim: cannot use %s and %s: %s\n", gOptions.certFile.c_str(),
                         gOptions.keyFile.c_str(), tlsErrorText("certificate", 0).c_str());
            SSL_CTX_free(context);
            return nullptr;
        }
        return context;
    }
    // Self-signed, made fresh at each start: the bridge checks no certificate.
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    bool ok = key != nullptr && cert != nullptr;
    if (ok) {
        X509_NAME* name = X509_get_subject_name(cert);
        ok = X509_set_version(cert, X509_VERSION_3) == 1 &&
             ASN1_INTEGER_set(X509_get_serialNumber(cert), static_cast<long>(std::time(nullptr))) == 1 &&
             X509_gmtime_adj(X509_getm_notBefore(cert), -3600) != nullptr &&
             X509_gmtime_adj(X509_getm_notAfter(cert), 30L * 24 * 3600) != nullptr &&
             X509_set_pubkey(cert, key) == 1 &&
             X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                        reinterpret_cast<const unsigned char*>("ulk-sim"), -1, -1, 0) == 1 &&
             X509_set_issuer_name(cert, name) == 1 && X509_sign(cert, key, EVP_sha256()) > 0 &&
             SSL_CTX_use_certificate(context, cert) == 1 && SSL_CTX_use_PrivateKey(context, key) == 1;
    }
    if (!ok) std::fprintf(stderr, "ulk-sim: %s\n", tlsErrorText("self-signed certificate", 0).c_str());
    X509_free(cert);
    EVP_PKEY_free(key);
    if (!ok) {
        SSL_CTX_free(context);
        return nullptr;
    }
    return context;
}

SocketHandle openListener(std::string& shown) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* list = nullptr;
    int resolved = getaddrinfo(gOptions.listen.c_str(), gOptions.port.c_str(), &hints, &list);
    if (resolved != 0) {
        std::fprintf(stderr, "ulk-sim: cannot resolve %s: %s\n", gOptions.listen.c_str(), gai_strerror(resolved));
        return kolv::kInvalidSocket;
    }
    SocketHandle listening = kolv::kInvalidSocket;
    int error = 0;
    for (addrinfo* entry = list; entry != nullptr && listening == kolv::kInvalidSocket; entry = entry->ai_next) {
        SocketHandle s = kolv::openSocket(entry->ai_family, entry->ai_socktype, entry->ai_protocol);
        if (s == kolv::kInvalidSocket) {
            error = kolv::lastSocketError();
            continue;
        }
        kolv::setReuseAddress(s);
        if (kolv::bindSocket(s, entry->ai_addr, entry->ai_addrlen) != 0 || kolv::listenSocket(s, 16) != 0) {
            error = kolv::lastSocketError();
            kolv::closeSocket(s);
            continue;
        }
        listening = s;
        shown = entry->ai_family == AF_INET6 ? "[" + gOptions.listen + "]" : gOptions.listen;
        shown += ":" + gOptions.port;
    }
    freeaddrinfo(list);
    if (listening == kolv::kInvalidSocket)
        std::fprintf(stderr, "ulk-sim: cannot listen on %s port %s: error %d (%s)\n", gOptions.listen.c_str(),
                     gOptions.port.c_str(), error, std::strerror(error));
    return listening;
}

void usage(std::FILE* out) {
    std::fputs(
        "usage: ulk-sim [--listen ADDR] [--port N] [--tls [--cert FILE --key FILE]] [--ping SECONDS]\n"
        "               [--stats TEXT] [--drop-after SECONDS [--drop-once]] [--exit-after SECONDS]\n"
        "               [--no-echo] [--latency MS] [--quiet] [--help]\n"
        "A stand-in for the chat host that the bridge connects to.\n"
        "  --listen ADDR        address to listen on (default 127.0.0.2; the bridge's own\n"
        "                       listener holds the same port on localhost)\n"
        "  --port N             port (default 2323)\n"
        "  --tls                speak TLS; without --cert/--key a self-signed certificate is\n"
        "                       made in memory at start\n"
        "  --cert FILE --key FILE  PEM certificate (chain) and private key for --tls\n"
        "  --ping SECONDS       send each site SERVER~~~~~~ping~ this often after its\n"
        "                       handshake (default 30, 0 = never)\n"
        "  --stats TEXT         answer to a STATS command: SERVER~~~~~~STATS:TEXT~\n"
        "                       (default \"sites=N users=0\" with N the connected sites;\n"
        "                       the bridge keeps at most 29 characters)\n"
        "  --drop-after SECONDS close each connection this long after its handshake; a\n"
        "                       reconnecting site gets a fresh timer\n"
        "  --drop-once          with --drop-after, drop only the first connection, so the\n"
        "                       site reconnects once and then stays\n"
        "  --exit-after SECONDS close every site and exit 0 after this long\n"
        "  --no-echo            do not send chat back to the site that sent it (other sites\n"
        "                       still get it)\n"
        "  --latency MS         hold chat back this long before echoing and passing it on,\n"
        "                       like a remote host (default 0). The bridge records a packet\n"
        "                       10 ms after writing it, so quicker echoes give no LATENCY\n"
        "  --quiet              print connections only, no packets\n"
        "Options also take the form --name=VALUE.\n"
        "\n"
        "Each site's first read is taken whole as its handshake (it has no line end); the\n"
        "simulator answers SERVER~~~~~~HELLO~. After that, every line is a packet. A packet\n"
        "whose 4th field is SERVER is a command to the host and is not passed on (STATS gets\n"
        "the statistics answer); any other packet is chat: it goes back unchanged to its\n"
        "site and to every other site. A partial line left for 0.5 s is handled as it is.\n"
        "Output: one line per event, \"[hh:mm:ss] #N <- packet\" for what site N sent and\n"
        "\"#N -> packet\" for what the host itself sent it.\n"
        "\n"
        "Commands on standard input, one per line:\n"
        "  drop       close every site's connection\n"
        "  say TEXT   send TEXT to every site: as it is when it holds a ~, else as\n"
        "             Host~ulk-sim~~~~~TEXT~\n"
        "  ping       send SERVER~~~~~~ping~ to every site\n"
        "  hello      send SERVER~~~~~~HELLO~ to every site\n"
        "  sites      list the connected sites\n"
        "  quit       close every site and exit\n"
        "At end of input the simulator keeps running, so it can run in the background.\n",
        out);
}

bool parseNumber(const std::string& flag, const std::string& value, long low, long high, long& out) {
    char* end = nullptr;
    long n = std::strtol(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || n < low || n > high) {
        std::fprintf(stderr, "ulk-sim: %s needs a whole number from %ld to %ld, not \"%s\"\n", flag.c_str(), low, high,
                     value.c_str());
        return false;
    }
    out = n;
    return true;
}

// Returns 0 to go on, or the exit code.
int parseOptions(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h" || arg == "-?") {
            usage(stdout);
            return -1;
        }
        if (arg == "--tls") gOptions.tls = true;
        else if (arg == "--drop-once") gOptions.dropOnce = true;
        else if (arg == "--no-echo") gOptions.echo = false;
        else if (arg == "--quiet") gOptions.quiet = true;
        else {
            std::string flag = arg;
            std::string value;
            std::size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                flag = arg.substr(0, eq);
                value = arg.substr(eq + 1);
            } else if (i + 1 < argc && arg.rfind("--", 0) == 0) {
                value = argv[++i];
            }
            static const char* const kValueFlags[] = {"--listen", "--port",       "--cert",       "--key",  "--stats",
                                                      "--ping",   "--drop-after", "--exit-after", "--latency"};
            bool known = false;
            for (const char* name : kValueFlags) known = known || flag == name;
            if (!known) {
                std::fprintf(stderr, "ulk-sim: unknown option %s (see --help)\n", arg.c_str());
                return 2;
            }
            if (value.empty() && flag != "--stats") {
                std::fprintf(stderr, "ulk-sim: %s needs a value (see --help)\n", arg.c_str());
                return 2;
            }
            bool ok = true;
            if (flag == "--listen") gOptions.listen = value;
            else if (flag == "--port") {
                long port = 0;
                ok = parseNumber(flag, value, 1, 65535, port);
                gOptions.port = std::to_string(port);
            } else if (flag == "--cert") gOptions.certFile = value;
            else if (flag == "--key") gOptions.keyFile = value;
            else if (flag == "--stats") {
                gOptions.statsGiven = true;
                gOptions.statsText = value;
                if (value.size() > 29) std::fprintf(stderr, "ulk-sim: note: the bridge keeps only 29 characters of --stats\n");
                if (value.find_first_of("~\n") != std::string::npos) {
                    std::fprintf(stderr, "ulk-sim: --stats may not hold ~ or a line end\n");
                    ok = false;
                }
            } else if (flag == "--latency") {
                ok = parseNumber(flag, value, 0, 60000, gOptions.latencyMs);
            } else if (flag == "--ping") ok = parseNumber(flag, value, 0, kMaxSeconds, gOptions.pingSeconds);
            else if (flag == "--drop-after") ok = parseNumber(flag, value, 0, kMaxSeconds, gOptions.dropAfterSeconds);
            else if (flag == "--exit-after") ok = parseNumber(flag, value, 0, kMaxSeconds, gOptions.exitAfterSeconds);
            if (!ok) return 2;
        }
    }
    if (gOptions.certFile.empty() != gOptions.keyFile.empty()) {
        std::fprintf(stderr, "ulk-sim: --cert and --key go together\n");
        return 2;
    }
    if (!gOptions.certFile.empty()) gOptions.tls = true;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int parsed = parseOptions(argc, argv);
    if (parsed != 0) return parsed < 0 ? 0 : parsed;
    kolv::ignoreBrokenPipe();
    if (kolv::socketStartup() != 0) {
        std::fprintf(stderr, "ulk-sim: sockets are not available\n");
        return 1;
    }
    if (gOptions.tls) {
        gTls = makeTlsContext();
        if (gTls == nullptr) return 1;
    }
    std::string shown;
    SocketHandle listening = openListener(shown);
    if (listening == kolv::kInvalidSocket) return 1;
    std::string mode = !gOptions.tls ? "plain TCP" : gOptions.certFile.empty() ? "TLS, self-signed" : "TLS";
    report("ulk-sim listening on " + shown + " (" + mode + "); ping " +
           (gOptions.pingSeconds > 0 ? "every " + std::to_string(gOptions.pingSeconds) + " s" : "off") +
           (gOptions.echo ? "" : "; no echo") +
           (gOptions.latencyMs > 0 ? "; latency " + std::to_string(gOptions.latencyMs) + " ms" : ""));
    try {
        std::thread(acceptLoop, listening).detach();
        std::thread(stdinLoop).detach();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ulk-sim: cannot start threads: %s\n", e.what());
        return 1;
    }
    timerLoop();
}
