#pragma once
// Fixture for the host-link and client-send tests: socket pairs stand in for
// the host connection and the local clients, the console goes to a recording
// sink, and every test runs in its own temporary directory because the code
// appends to ./kolv.log and writes ./ulkstats.dat.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "app/bridge_config.h"
#include "app/bridge_state.h"
#include "output/bounded_format.h"
#include "platform/console.h"
#include "platform/seam.h"
#include "platform/socket.h"
#include "platform/system.h"
#include "platform_facts.h"
#include "scratch_dir.h"

namespace kolv::linktest {

using Clock = std::chrono::steady_clock;

// Records console writes with the time each arrived.
class TimedSink final : public ConsoleSink {
public:
    struct Chunk {
        Clock::time_point at;
        std::string text;
    };

    void write(const char* data, std::size_t length) override {
        std::lock_guard<std::mutex> lock(mutex_);
        chunks_.push_back(Chunk{Clock::now(), std::string(data, length)});
    }
    void setAttribute(int) override {}

    std::string text() const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string all;
        for (const auto& c : chunks_) all += c.text;
        return all;
    }

    // Arrival time of the first write holding needle; false when none did.
    bool timeOfFirst(const std::string& needle, Clock::time_point& at) const {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& c : chunks_) {
            if (c.text.find(needle) != std::string::npos) {
                at = c.at;
                return true;
            }
        }
        return false;
    }

    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        chunks_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<Chunk> chunks_;
};

// Every timestamp prefix replaced by "<stamp>", so whole console output can
// be compared byte for byte.
inline std::string withStampsMarked(const std::string& text) {
    static const std::regex stamp(R"(\[\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\] )");
    return std::regex_replace(text, stamp, "<stamp>");
}

// Everything the socket has queued now, without waiting. The code under test
// sends before it returns, so what it sent is already queued.
inline std::string drain(SocketHandle fd) {
    std::string all;
    char buffer[4096];
    for (int i = 0; i < 1000; ++i) {
        if (waitSocket(fd, WaitFor::Read, 0) <= 0) break;
        long n = systemSocketRecv(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        all.append(buffer, static_cast<std::size_t>(n));
    }
    return all;
}

using testutil::peerGoneError;

inline std::string readFile(const char* path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// Messages of kolv.log in order, each without its "[date time] source=kolv-bridge " part.
inline std::vector<std::string> logMessages() {
    static const std::regex line(R"(\[\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\] source=kolv-bridge (.*))");
    std::vector<std::string> messages;
    const std::string lineEnd = testutil::textLineEnd();
    const std::string all = readFile("kolv.log");
    for (std::size_t start = 0; start < all.size();) {
        std::size_t end = all.find(lineEnd, start);
        std::string text = all.substr(start, end == std::string::npos ? std::string::npos : end - start);
        std::smatch m;
        messages.push_back(std::regex_match(text, m, line) && end != std::string::npos ? m[1].str()
                                                                                       : "<malformed> " + text);
        if (end == std::string::npos) break;
        start = end + lineEnd.size();
    }
    return messages;
}

inline std::vector<TrackerEntry> trackerSnapshot(LatencyTracker& tracker) {
    std::lock_guard<std::mutex> lock(tracker.mutex);
    return std::vector<TrackerEntry>(tracker.entries.begin(), tracker.entries.end());
}

inline int recordedCount(LatencyTracker& tracker) {
    int n = 0;
    for (const auto& e : trackerSnapshot(tracker)) n += e.sentAtMs != -1 ? 1 : 0;
    return n;
}

inline bool allFree(LatencyTracker& tracker) {
    for (const auto& e : trackerSnapshot(tracker)) {
        if (e.checksum != -1 || e.sentAtMs != -1 || e.isStats != 0) return false;
    }
    return true;
}

inline std::int64_t wallMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

inline long elapsedMs(Clock::time_point from, Clock::time_point to) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count());
}

// Waits (bounded) until the wall clock has moved on by at least ms.
inline void letClockAdvance(std::int64_t ms) {
    const std::int64_t start = wallMs();
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms + 2000);
    while (wallMs() - start < ms && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// A clock the test sets. Network and sleeps stay real, and each sleep of the
// code under test also moves this clock on by its length, so times that the
// code reads after a pause are exact.
class FakeClock {
public:
    FakeClock() {
        static const PlatformSeam seam{&realSend, &realRecv, &realSleep, &fakeFileTime, &systemWaitSocket};
        setUnixMs(1700000000000);
        setPlatformSeam(&seam);
    }
    ~FakeClock() { setPlatformSeam(nullptr); }
    FakeClock(const FakeClock&) = delete;
    FakeClock& operator=(const FakeClock&) = delete;

    static std::int64_t unixMs() {
        return static_cast<std::int64_t>(fileTimeNow().load() / 10000ULL) - 11644473600000LL;
    }

    static void setUnixMs(std::int64_t ms) {
        // 100-ns units since 1601 for the given Unix milliseconds.
        fileTimeNow().store((static_cast<std::uint64_t>(ms) + 11644473600000ULL) * 10000ULL);
    }

private:
    static std::atomic<std::uint64_t>& fileTimeNow() {
        static std::atomic<std::uint64_t> value{0};
        return value;
    }
    static long realSend(SocketHandle s, const void* data, std::size_t length) {
        return systemSocketSend(s, data, length);
    }
    static long realRecv(SocketHandle s, void* data, std::size_t length) {
        return systemSocketRecv(s, data, length);
    }
    static void realSleep(std::int64_t ms) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        if (ms > 0) fileTimeNow().fetch_add(static_cast<std::uint64_t>(ms) * 10000ULL);
    }
    static std::uint64_t fakeFileTime() { return fileTimeNow().load(); }
};

class LinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        BridgeState& state = bridgeState();
        std::memcpy(savedSiteName_, state.siteName, sizeof savedSiteName_);
        std::memcpy(savedPidText_, state.pidText, sizeof savedPidText_);
        scratch_.emplace("kolv-link-");

        setConsoleSink(&console_);
        resetState();
        setSiteName("The_Board");
        boundedCopy(state.pidText, sizeof state.pidText, "1234");
    }

    void TearDown() override {
        resetState();
        BridgeState& state = bridgeState();
        std::memcpy(state.siteName, savedSiteName_, sizeof savedSiteName_);
        std::memcpy(state.pidText, savedPidText_, sizeof savedPidText_);
        for (SocketHandle fd : openEnds_) closeSocket(fd);
        openEnds_.clear();
        setPlatformSeam(nullptr);
        setConsoleSink(nullptr);
        scratch_.reset();
    }

    static void resetState() {
        BridgeState& state = bridgeState();
        initialiseBridgeState(state);
        state.verbose.store(false);
        state.hostSocket.store(kInvalidSocket);
        state.tlsActive.store(false);
        state.reconnectPending.store(false);
        state.lastLatencyMs.store(0);
    }

    static void setSiteName(const char* name) {
        boundedCopy(bridgeState().siteName, sizeof bridgeState().siteName, name);
    }

    // A connected pair {ours, peer}; both ends are closed after the test.
    std::pair<SocketHandle, SocketHandle> makePair() {
        SocketHandle fds[2] = {kInvalidSocket, kInvalidSocket};
        EXPECT_EQ(socketPair(fds), 0) << "socket pair failed with error " << lastSocketError();
        openEnds_.push_back(fds[0]);
        openEnds_.push_back(fds[1]);
        return {fds[0], fds[1]};
    }

    // Makes one end the plain host link; returns the end the "host" reads.
    int connectHost() {
        auto [ours, peer] = makePair();
        bridgeState().hostSocket.store(ours);
        bridgeState().tlsActive.store(false);
        return peer;
    }

    // Puts one end in slot as a connected client; returns the client's end.
    int connectClient(int slot) {
        auto [ours, peer] = makePair();
        bridgeState().clientSlots.sockets[static_cast<std::size_t>(slot)].store(ours);
        return peer;
    }

    // Closes one end early (a client that went away), resetting the connection.
    void closeEnd(SocketHandle fd) {
        for (SocketHandle& open : openEnds_) {
            if (open == fd) {
                abortSocket(open);
                open = kInvalidSocket;
            }
        }
    }

    std::string console() const { return withStampsMarked(console_.text()); }

    TimedSink console_;

private:
    std::optional<testutil::ScratchDir> scratch_;
    std::vector<SocketHandle> openEnds_;
    char savedSiteName_[sizeof(BridgeState::siteName)] = {};
    char savedPidText_[sizeof(BridgeState::pidText)] = {};
};

// A configuration with every text set; siteName as stored in the file.
inline BridgeConfig makeConfig(char useTls = 0) {
    BridgeConfig config;
    std::memset(&config, 0, sizeof config);
    boundedCopy(config.host, sizeof config.host, "127.0.0.1");
    boundedCopy(config.port, sizeof config.port, "2323");
    config.useTls = useTls;
    boundedCopy(config.siteName, sizeof config.siteName, "The Board");
    boundedCopy(config.software, sizeof config.software, "BoardSoft");
    boundedCopy(config.infoWeb, sizeof config.infoWeb, "www.board.test");
    boundedCopy(config.infoTel, sizeof config.infoTel, "telnet.board.test");
    boundedCopy(config.infoSsh, sizeof config.infoSsh, "ssh.board.test:22");
    boundedCopy(config.infoSys, sizeof config.infoSys, "Sysop Sam");
    config.infoDsc[0] = '\0';  // empty: its format goes out unfilled
    return config;
}

}  // namespace kolv::linktest
