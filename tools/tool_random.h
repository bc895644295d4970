// A seeded generator that gives the same numbers on every platform and with
// every standard library, so one seed names one schedule everywhere (the
// standard distributions differ between libraries).
#pragma once

#include <cstdint>

namespace kolvtool {

class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next();
    // A whole number from low to high, both included.
    std::int64_t between(std::int64_t low, std::int64_t high);
    // True in percent of the calls, on average.
    bool chance(int percent);

private:
    std::uint64_t state_;
};

// A seed for one of several streams drawn from one seed (a client slot, say).
std::uint64_t streamSeed(std::uint64_t seed, std::uint64_t stream);

}  // namespace kolvtool
