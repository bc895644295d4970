#include "tool_random.h"

namespace kolvtool {

// splitmix64: small, fast, and its output does not depend on the platform.
std::uint64_t Random::next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

std::int64_t Random::between(std::int64_t low, std::int64_t high) {
    if (high <= low) return low;
    const auto span = static_cast<std::uint64_t>(high - low) + 1;
    return low + static_cast<std::int64_t>(next() % span);
}

bool Random::chance(int percent) { return between(0, 99) < percent; }

std::uint64_t streamSeed(std::uint64_t seed, std::uint64_t stream) {
    Random mixer(seed ^ (stream * 0xD1B54A32D192ED03ULL));
    return mixer.next();
}

}  // namespace kolvtool
