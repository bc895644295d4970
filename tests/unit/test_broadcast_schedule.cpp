// Where a broadcast's next send may start, given when the sends before it
// actually started: late starts are caught up, never repaid with a short gap
// below 4.5 ms.
#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "clients/broadcast_schedule.h"

namespace kolv {
namespace {

TEST(BroadcastSchedule, LateStartsAreCaughtUpOnTheNextSlot) {
    using Starts = std::vector<std::pair<std::int64_t, std::int64_t>>;  // started, next start it gives
    const std::pair<const char*, Starts> kCases[] = {
        {"on time", {{1000, 6000}, {6000, 11000}, {11000, 16000}}},
        {"late by 300 us, then back on the grid", {{0, 5000}, {5300, 10000}, {10000, 15000}}},
        {"late by 900 us: 4.5 ms gap, then the grid", {{0, 5000}, {5900, 10400}, {10400, 15000}, {15000, 20000}}},
        {"a start 25 ms late: 4.5 ms gaps until back on the grid",
         {{0, 5000}, {30000, 34500}, {34500, 39000}, {39000, 43500}}},
        {"every start 200 us late adds nothing up", {{0, 5000}, {5200, 10000}, {10200, 15000}, {15200, 20000}}},
        {"a clock far from zero", {{4000000000000, 4000000005000}, {4000000005600, 4000000010100}}},
    };
    for (const auto& [name, starts] : kCases) {
        BroadcastSchedule schedule;
        for (const auto& [started, next] : starts) EXPECT_EQ(schedule.nextStartAfter(started), next) << name;
    }
}

}  // namespace
}  // namespace kolv
