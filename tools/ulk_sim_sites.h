// The sites connected to the simulator.
#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/socket.h"

namespace ulksim {

constexpr std::size_t kMaxSites = 64;

struct Site {
    int number = 0;
    kolv::SocketHandle socket = kolv::kInvalidSocket;
    SSL* ssl = nullptr;             // under ioMutex
    std::mutex writeMutex;          // one packet at a time; the socket stays open while held
    std::mutex ioMutex;             // the TLS object is never used by two threads at once
    bool closed = false;            // under writeMutex
    std::atomic<bool> dropRequested{false};
    std::atomic<bool> resetRequested{false};  // end with a reset (linger 0), not in order
    std::atomic<std::int64_t> stallUntilMs{0};  // steady time until which nothing is read
    std::atomic<bool> ready{false};  // handshake received; the fields below are set before
    std::string handshake;
    std::int64_t readyAtMs = 0;
    std::int64_t readyAtUnixMs = 0;
    // Touched by the timer loop only.
    std::int64_t nextPingMs = 0;
    bool dropTimerDone = false;
};

using SitePtr = std::shared_ptr<Site>;

// "#N", how the trace names a site.
std::string siteTag(const Site& site);

// Numbers a new connection and lists it; null when kMaxSites are listed.
SitePtr addSite(kolv::SocketHandle socket);
void removeSite(const SitePtr& site);

std::vector<SitePtr> siteSnapshot();
bool noSitesLeft();
std::size_t readySiteCount();

void requestDropAll();

}  // namespace ulksim
