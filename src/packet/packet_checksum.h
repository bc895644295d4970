#pragma once
#include <cstdint>

namespace kolv {

// Sum of the text's bytes taken as signed 8-bit values.
std::int32_t packetChecksum(const char* text);

// 100-ns intervals since 1601-01-01 UTC to milliseconds since 1970-01-01 UTC.
std::int64_t fileTimeToUnixMs(std::uint64_t fileTime);

// The system clock in Unix milliseconds.
std::int64_t nowUnixMs();

}  // namespace kolv
