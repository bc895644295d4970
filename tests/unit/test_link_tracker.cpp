// The latency tracker: claims, matches, the -1 checksum, a full table, and
// claims racing a matcher.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "link_fixture.h"
#include "packet/host_senders.h"
#include "packet/packet_checksum.h"

namespace kolv::linktest {
namespace {

// "\x80\xF7~\n" sums to -128 - 9 + 126 + 10 = -1, the mark of a free entry.
const char* const kMinusOneLine = "\x80\xF7~\n";

// A text whose checksum is n (n > 0): n bytes of value 1.
std::string textWithChecksum(int n) { return std::string(static_cast<std::size_t>(n), '\x01'); }

class LinkTracker : public LinkTest {
protected:
    void SetUp() override {
        LinkTest::SetUp();
        resetTracker(tracker_);
    }
    LatencyTracker tracker_;
};

TEST_F(LinkTracker, ClaimsTheLowestFreeEntry) {
    ASSERT_EQ(packetChecksum(kMinusOneLine), -1);
    trackPacket(tracker_, "a", false);
    trackPacket(tracker_, "b", true);
    trackPacket(tracker_, "c", false);
    auto entries = trackerSnapshot(tracker_);
    EXPECT_EQ(entries[0].checksum, 'a');
    EXPECT_EQ(entries[1].checksum, 'b');
    EXPECT_EQ(entries[1].isStats, 1);
    EXPECT_EQ(entries[2].checksum, 'c');
    EXPECT_EQ(entries[0].isStats, 0);
    EXPECT_EQ(recordedCount(tracker_), 3);

    // A hole below the recorded ones is filled before anything above them.
    {
        std::lock_guard<std::mutex> lock(tracker_.mutex);
        tracker_.entries[1] = TrackerEntry{-1, -1, 0};
    }
    trackPacket(tracker_, "d", false);
    entries = trackerSnapshot(tracker_);
    EXPECT_EQ(entries[1].checksum, 'd');
    EXPECT_EQ(entries[3].sentAtMs, -1);

    // After a match the table starts again at entry 0.
    std::int64_t sentAt = 0;
    ASSERT_TRUE(matchTrackedPacket(tracker_, 'c', nullptr, sentAt));
    trackPacket(tracker_, "e", false);
    EXPECT_EQ(trackerSnapshot(tracker_)[0].checksum, 'e');
    EXPECT_EQ(recordedCount(tracker_), 1);
}

TEST_F(LinkTracker, MatchOnAnyEntryFreesAllFifty) {
    for (int i = 1; i <= kTrackerSize; ++i) trackPacket(tracker_, textWithChecksum(i).c_str(), false);
    ASSERT_EQ(recordedCount(tracker_), kTrackerSize);
    const auto before = trackerSnapshot(tracker_);

    std::int64_t sentAt = 0;
    EXPECT_FALSE(matchTrackedPacket(tracker_, 1000, "hello", sentAt));
    EXPECT_EQ(recordedCount(tracker_), kTrackerSize);

    EXPECT_TRUE(matchTrackedPacket(tracker_, 38, nullptr, sentAt));
    EXPECT_EQ(sentAt, before[37].sentAtMs);
    EXPECT_TRUE(allFree(tracker_));
}

TEST_F(LinkTracker, SameChecksumTwiceIsMeasuredAgainstTheLowerEntry) {
    FakeClock clock;
    FakeClock::setUnixMs(1700000000000);
    trackPacket(tracker_, "x~\n", false);
    FakeClock::setUnixMs(1700000000500);
    trackPacket(tracker_, "x~\n", false);
    std::int64_t sentAt = 0;
    EXPECT_TRUE(matchTrackedPacket(tracker_, packetChecksum("x~\n"), nullptr, sentAt));
    EXPECT_EQ(sentAt, 1700000000000);
}

TEST_F(LinkTracker, MinusOneChecksumNeverMatchesAFreeEntry) {
    std::int64_t sentAt = 12345;
    EXPECT_FALSE(matchTrackedPacket(tracker_, packetChecksum(kMinusOneLine), nullptr, sentAt));
    trackPacket(tracker_, "a", false);
    trackPacket(tracker_, "b", false);
    EXPECT_FALSE(matchTrackedPacket(tracker_, -1, "no stats here", sentAt));
    EXPECT_EQ(sentAt, 12345);
    EXPECT_EQ(recordedCount(tracker_), 2);
}

TEST_F(LinkTracker, RecordedMinusOneChecksumIsMatchedAndKeptFromTheNextClaim) {
    trackPacket(tracker_, kMinusOneLine, false);
    const auto recorded = trackerSnapshot(tracker_)[0];
    ASSERT_EQ(recorded.checksum, -1);
    ASSERT_NE(recorded.sentAtMs, -1);

    trackPacket(tracker_, "next", false);
    auto entries = trackerSnapshot(tracker_);
    EXPECT_EQ(entries[0].checksum, -1);
    EXPECT_EQ(entries[0].sentAtMs, recorded.sentAtMs);
    EXPECT_EQ(entries[1].checksum, packetChecksum("next"));

    std::int64_t sentAt = 0;
    EXPECT_TRUE(matchTrackedPacket(tracker_, packetChecksum(kMinusOneLine), nullptr, sentAt));
    EXPECT_EQ(sentAt, recorded.sentAtMs);
    EXPECT_TRUE(allFree(tracker_));
}

TEST_F(LinkTracker, StatsEntryIsAnsweredByAnyBodyHoldingStats) {
    std::int64_t sentAt = 0;
    trackPacket(tracker_, "plain", false);
    EXPECT_FALSE(matchTrackedPacket(tracker_, 1, "STATS:1 2", sentAt));  // no statistics request pending

    trackPacket(tracker_, "request", true);
    const std::int64_t requestSentAt = trackerSnapshot(tracker_)[1].sentAtMs;
    EXPECT_FALSE(matchTrackedPacket(tracker_, 1, nullptr, sentAt));
    EXPECT_FALSE(matchTrackedPacket(tracker_, 1, "stats", sentAt));
    EXPECT_FALSE(matchTrackedPacket(tracker_, 1, "STAT S", sentAt));
    EXPECT_EQ(recordedCount(tracker_), 2);
    EXPECT_TRUE(matchTrackedPacket(tracker_, 1, "users:4 STATSx", sentAt));
    EXPECT_EQ(sentAt, requestSentAt);
    EXPECT_TRUE(allFree(tracker_));
}

TEST_F(LinkTracker, FullTableStillSendsButRecordsNothing) {
    const int host = connectHost();
    LatencyTracker& shared = bridgeState().latencyTracker;
    for (int i = 1; i <= kTrackerSize; ++i) trackPacket(shared, textWithChecksum(i).c_str(), false);
    const auto before = trackerSnapshot(shared);

    EXPECT_TRUE(sendHostPacket("bob~Here~~~~~late~\n"));
    EXPECT_EQ(drain(host), "bob~Here~~~~~late~\n");
    const auto after = trackerSnapshot(shared);
    for (int i = 0; i < kTrackerSize; ++i) {
        const auto index = static_cast<std::size_t>(i);
        EXPECT_EQ(after[index].checksum, before[index].checksum) << "entry " << i;
        EXPECT_EQ(after[index].sentAtMs, before[index].sentAtMs) << "entry " << i;
    }
    EXPECT_EQ(console(), "");
    EXPECT_TRUE(logMessages().empty());
}

// Eight threads claim with distinct checksums while a matcher keeps freeing
// the table. Between two of the matcher's own matches nothing else frees
// entries, so a recorded entry must never change, the recorded entries must
// stay a gap-free run from entry 0 without duplicates, and a claimer that saw
// its entry recorded must still find it when nobody has matched since.
TEST_F(LinkTracker, ConcurrentClaimsNeverOverwriteOrDuplicate) {
    constexpr int kThreads = 8;
    constexpr int kClaimsPerThread = 100;
    std::atomic<bool> go{false};
    std::atomic<int> running{kThreads};
    std::atomic<int> matches{0};
    std::atomic<bool> faultSeen{false};
    std::string fault;

    auto checkShape = [](const std::vector<TrackerEntry>& snapshot, std::string& why) {
        std::set<std::int32_t> seen;
        bool freeSeen = false;
        for (std::size_t i = 0; i < snapshot.size(); ++i) {
            const TrackerEntry& e = snapshot[i];
            if (e.sentAtMs == -1) {
                if (e.checksum != -1 || e.isStats != 0) why = "half-free entry " + std::to_string(i);
                freeSeen = true;
                continue;
            }
            if (freeSeen) why = "gap before entry " + std::to_string(i);
            if (e.checksum < 1 || e.checksum > kThreads * kClaimsPerThread) why = "foreign checksum";
            if (e.isStats != (e.checksum % 3 == 0 ? 1 : 0)) why = "isStats of another claim";
            if (!seen.insert(e.checksum).second) why = "checksum twice";
        }
        return why.empty();
    };

    std::thread matcher([&] {
        while (!go.load()) std::this_thread::yield();
        std::vector<TrackerEntry> previous = trackerSnapshot(tracker_);
        const auto deadline = Clock::now() + std::chrono::seconds(30);
        int round = 0;
        while ((running.load() > 0 || round == 0) && Clock::now() < deadline && !faultSeen.load()) {
            ++round;
            std::vector<TrackerEntry> now = trackerSnapshot(tracker_);
            std::string why;
            if (!checkShape(now, why)) {
                fault = why;
                faultSeen.store(true);
                break;
            }
            for (std::size_t i = 0; i < now.size(); ++i) {
                if (previous[i].sentAtMs != -1 &&
                    (now[i].checksum != previous[i].checksum || now[i].sentAtMs != previous[i].sentAtMs)) {
                    fault = "entry " + std::to_string(i) + " overwritten without a match";
                    faultSeen.store(true);
                }
            }
            previous = now;
            if (now[0].sentAtMs != -1) {
                std::int64_t sentAt = 0;
                // Entry 0 cannot have changed since the snapshot: only this thread frees.
                if (!matchTrackedPacket(tracker_, now[0].checksum, nullptr, sentAt)) {
                    fault = "recorded entry 0 not matched";
                    faultSeen.store(true);
                } else if (sentAt != now[0].sentAtMs) {
                    fault = "match returned another entry's time";
                    faultSeen.store(true);
                }
                ++matches;
                previous = trackerSnapshot(tracker_);
            }
            std::this_thread::yield();
        }
    });

    std::vector<std::thread> claimers;
    for (int t = 0; t < kThreads; ++t) {
        claimers.emplace_back([&, t] {
            while (!go.load()) std::this_thread::yield();
            for (int k = 0; k < kClaimsPerThread; ++k) {
                const int id = t * kClaimsPerThread + k + 1;
                trackPacket(tracker_, textWithChecksum(id).c_str(), id % 3 == 0);
                std::this_thread::yield();
            }
            --running;
        });
    }
    go.store(true);
    for (auto& c : claimers) c.join();
    matcher.join();
    ASSERT_FALSE(faultSeen.load()) << fault;
    EXPECT_GT(matches.load(), 0);

    // With nobody matching, a claim that a thread saw recorded must stay, and
    // exactly the 50 first claims after the reset win.
    resetTracker(tracker_);
    std::vector<std::vector<int>> seenRecorded(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        claimers[static_cast<std::size_t>(t)] = std::thread([&, t] {
            for (int k = 0; k < kClaimsPerThread; ++k) {
                const int id = t * kClaimsPerThread + k + 1;
                trackPacket(tracker_, textWithChecksum(id).c_str(), id % 3 == 0);
                for (const auto& e : trackerSnapshot(tracker_)) {
                    if (e.sentAtMs != -1 && e.checksum == id) seenRecorded[static_cast<std::size_t>(t)].push_back(id);
                }
            }
        });
    }
    for (auto& c : claimers) c.join();
    const auto table = trackerSnapshot(tracker_);
    std::string why;
    EXPECT_TRUE(checkShape(table, why)) << why;
    EXPECT_EQ(recordedCount(tracker_), kTrackerSize);
    std::set<std::int32_t> inTable;
    for (const auto& e : table) inTable.insert(e.checksum);
    std::size_t seenCount = 0;
    for (const auto& ids : seenRecorded) {
        for (int id : ids) {
            EXPECT_TRUE(inTable.count(id)) << "claim " << id << " was recorded, then lost";
            ++seenCount;
        }
    }
    EXPECT_EQ(seenCount, static_cast<std::size_t>(kTrackerSize));
}

}  // namespace
}  // namespace kolv::linktest
