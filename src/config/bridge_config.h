#pragma once
#include <cstddef>

namespace kolv {

inline constexpr const char* kConfigFileName = "ulk.cfg";

// The raw image of ulk.cfg: fixed-size NUL-terminated texts, no padding.
struct BridgeConfig {
    char host[80];
    char port[6];
    char useTls;
    char siteName[140];
    char software[140];
    char infoWeb[140];
    char infoTel[140];
    char infoSsh[140];
    char infoSys[140];
    char infoDsc[140];
};
static_assert(sizeof(BridgeConfig) == 1067, "ulk.cfg layout is 1067 bytes");
static_assert(offsetof(BridgeConfig, port) == 80 && offsetof(BridgeConfig, useTls) == 86 &&
                  offsetof(BridgeConfig, siteName) == 87 && offsetof(BridgeConfig, software) == 227 &&
                  offsetof(BridgeConfig, infoDsc) == 927,
              "ulk.cfg field offsets");

// Fills config from a file image. False when the image is shorter than the
// record (a truncated record is corrupt). A text that fills its array
// without a terminator is cut at its size minus one.
bool parseBridgeConfig(const unsigned char* data, std::size_t length, BridgeConfig& config);

// Reads ulk.cfg (or path) into config. False when the file cannot be opened
// or is shorter than the record.
bool loadBridgeConfig(BridgeConfig& config, const char* path = kConfigFileName);

// Configured site name without "~", pipe colour codes, with spaces as "_",
// cut to 30 characters. Give out the configured field's size (140) so that
// nothing is cut before the codes are removed.
void cleanSiteName(const char* configured, char* out, std::size_t size);

}  // namespace kolv
