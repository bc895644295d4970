#include "ulk_sim_link.h"

#include <openssl/err.h>

#include "platform/system.h"
#include "ulk_sim_chaos_log.h"
#include "ulk_sim_options.h"
#include "ulk_sim_tls.h"
#include "ulk_sim_trace.h"

namespace ulksim {
namespace {

using kolv::WaitFor;

constexpr std::int64_t kWriteTimeoutMs = 5000;
constexpr std::int64_t kTlsAcceptTimeoutMs = 10000;
constexpr std::size_t kDrainReadSize = 16384;
constexpr const char* kSiteClosed = "the site closed the connection";

// One try at writing. Nothing written: waitFor says what to wait for, unless
// failure says the connection is broken.
long writeSome(Site& site, const char* data, std::size_t length, WaitFor& waitFor, std::string& failure) {
    std::lock_guard<std::mutex> ioLock(site.ioMutex);
    if (site.ssl == nullptr) {
        long sent = kolv::socketSend(site.socket, data, length);
        if (sent >= 0) return sent;
        int error = kolv::lastSocketError();
        if (!kolv::isWouldBlock(error)) failure = "send error " + std::to_string(error);
        return 0;
    }
    ERR_clear_error();
    int n = SSL_write(site.ssl, data, kolv::clampToInt(length));
    if (n > 0) return n;
    int error = SSL_get_error(site.ssl, n);
    if (error == SSL_ERROR_WANT_READ) waitFor = WaitFor::Read;
    else if (error != SSL_ERROR_WANT_WRITE) failure = tlsErrorText("SSL_write", error);
    return 0;
}

ReadResult readTls(Site& site, std::vector<char>& buffer) {
    ReadResult result;
    ERR_clear_error();
    int r = SSL_read(site.ssl, buffer.data(), static_cast<int>(buffer.size()));
    if (r > 0) {
        result.size = r;
        return result;
    }
    int error = SSL_get_error(site.ssl, r);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        result.again = true;
        if (error == SSL_ERROR_WANT_WRITE) result.waitFor = WaitFor::Write;
    } else if (error == SSL_ERROR_ZERO_RETURN) {
        result.why = kSiteClosed;
    } else {
        result.why = tlsErrorText("SSL_read", error);
        result.how = Ending::Broken;
    }
    return result;
}

ReadResult readPlain(Site& site, std::vector<char>& buffer) {
    ReadResult result;
    long n = kolv::socketRecv(site.socket, buffer.data(), buffer.size());
    if (n > 0) {
        result.size = n;
        return result;
    }
    int error = n < 0 ? kolv::lastSocketError() : 0;
    if (n == 0) {
        result.why = kSiteClosed;
    } else if (kolv::isWouldBlock(error)) {
        result.again = true;
    } else {
        result.why = "recv error " + std::to_string(error);
        result.how = Ending::Broken;
    }
    return result;
}

// Reads until the site's end of stream, for kDrainMs at most.
void drain(Site& site, const DrainSink& keep) {
    std::int64_t deadline = kolv::steadyMs() + kDrainMs;
    std::vector<char> buffer(kDrainReadSize);
    for (;;) {
        std::int64_t left = deadline - kolv::steadyMs();
        if (left <= 0) return;
        ReadResult got = readSome(site, buffer);
        if (got.size > 0) {
            if (keep) keep(buffer.data(), static_cast<std::size_t>(got.size));
            continue;
        }
        if (!got.again || kolv::waitSocket(site.socket, got.waitFor, static_cast<int>(left)) < 0) return;
    }
}

// Writes data whole; writeMutex held. False once the site is to be dropped.
bool sendLocked(Site& site, const std::string& data) {
    if (site.closed) return false;
    std::int64_t deadline = kolv::steadyMs() + kWriteTimeoutMs;
    std::size_t done = 0;
    while (done < data.size()) {
        WaitFor waitFor = WaitFor::Write;
        std::string failure;
        long sent = writeSome(site, data.data() + done, data.size() - done, waitFor, failure);
        if (sent > 0) {
            done += static_cast<std::size_t>(sent);
            continue;
        }
        std::int64_t left = deadline - kolv::steadyMs();
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

void freeTls(Site& site) {
    std::lock_guard<std::mutex> ioLock(site.ioMutex);
    if (site.ssl == nullptr) return;
    SSL_free(site.ssl);
    site.ssl = nullptr;
    ERR_clear_error();
}

}  // namespace

bool acceptTls(Site& site) {
    SSL* ssl = SSL_new(tlsContext());
    if (ssl == nullptr) {
        report(siteTag(site) + " TLS failed: " + tlsErrorText("SSL_new", 0));
        return false;
    }
    SSL_set_fd(ssl, static_cast<int>(site.socket));
    std::int64_t deadline = kolv::steadyMs() + kTlsAcceptTimeoutMs;
    for (;;) {
        ERR_clear_error();
        int r = SSL_accept(ssl);
        if (r == 1) break;
        int error = SSL_get_error(ssl, r);
        std::int64_t left = deadline - kolv::steadyMs();
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

bool sendToSite(Site& site, const std::string& data) {
    std::lock_guard<std::mutex> writeLock(site.writeMutex);
    return sendLocked(site, data);
}

bool sendToSiteInTwo(Site& site, const std::string& data, std::size_t cut, std::int64_t pauseMs) {
    std::lock_guard<std::mutex> writeLock(site.writeMutex);
    if (!sendLocked(site, data.substr(0, cut))) return false;
    kolv::sleepMs(pauseMs);
    return sendLocked(site, data.substr(cut));
}

bool sendHostPacket(Site& site, const std::string& packet) {
    if (!options().quiet) report(siteTag(site) + " -> " + printable(packet));
    return sendToSite(site, packet + "\n");
}

ReadResult readSome(Site& site, std::vector<char>& buffer) {
    std::lock_guard<std::mutex> ioLock(site.ioMutex);
    return site.ssl != nullptr ? readTls(site, buffer) : readPlain(site, buffer);
}

void closeSite(const SitePtr& site, const std::string& why, Ending how, const DrainSink& keep) {
    {
        std::lock_guard<std::mutex> writeLock(site->writeMutex);
        std::lock_guard<std::mutex> ioLock(site->ioMutex);
        site->closed = true;
        if (site->ssl != nullptr && how == Ending::Orderly) SSL_shutdown(site->ssl);
    }
    if (how == Ending::Orderly) {
        kolv::shutdownSend(site->socket);
        drain(*site, keep);
    }
    // What the site sent that nobody will read: lost with this link.
    int unread = kolv::unreadByteCount(site->socket);
    freeTls(*site);
    if (how == Ending::Reset) kolv::abortSocket(site->socket);
    else kolv::closeSocket(site->socket);
    removeSite(site);
    if (site->ready.load()) noteLinkEnd(site->number, site->readyAtUnixMs, unread, why);
    report(siteTag(*site) + " closed: " + why + (unread > 0 ? "; " + std::to_string(unread) + " bytes unread" : ""));
}

}  // namespace ulksim
