#include "packet/packet_checksum.h"

#include "platform/system.h"

namespace kolv {

std::int32_t packetChecksum(const char* text) {
    std::int32_t sum = 0;
    for (const char* p = text; *p != '\0'; ++p) sum += static_cast<std::int8_t>(*p);
    return sum;
}

std::int64_t fileTimeToUnixMs(std::uint64_t fileTime) {
    return static_cast<std::int64_t>(fileTime / 10000U) - 11644473600000LL;
}

std::int64_t nowUnixMs() { return fileTimeToUnixMs(systemFileTime()); }

}  // namespace kolv
