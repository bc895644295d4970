#include "config/bridge_config.h"

#include <cstdio>
#include <cstring>

#include "output/print_piped.h"

namespace kolv {
namespace {

template <std::size_t N>
void terminate(char (&field)[N]) {
    field[N - 1] = '\0';
}

}  // namespace

bool parseBridgeConfig(const unsigned char* data, std::size_t length, BridgeConfig& config) {
    if (length < sizeof(BridgeConfig)) return false;
    std::memcpy(&config, data, sizeof(BridgeConfig));
    terminate(config.host);
    terminate(config.port);
    terminate(config.siteName);
    terminate(config.software);
    terminate(config.infoWeb);
    terminate(config.infoTel);
    terminate(config.infoSsh);
    terminate(config.infoSys);
    terminate(config.infoDsc);
    return true;
}

bool loadBridgeConfig(BridgeConfig& config, const char* path) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return false;
    unsigned char image[sizeof(BridgeConfig)];
    std::size_t got = std::fread(image, 1, sizeof image, file);
    std::fclose(file);
    return parseBridgeConfig(image, got, config);
}

void cleanSiteName(const char* configured, char* out, std::size_t size) {
    if (size == 0) return;
    // 1: copy without "~".
    std::size_t length = 0;
    for (const char* p = configured; *p != '\0' && length + 1 < size; ++p) {
        if (*p != '~') out[length++] = *p;
    }
    out[length] = '\0';
    // 2: drop colour codes in place.
    std::size_t n = 0;
    for (std::size_t i = 0; i < length;) {
        if (isColourCode(out, i, length)) {
            i += 3;
            continue;
        }
        out[n++] = out[i++];
    }
    out[n] = '\0';
    // 3: spaces become "_"; 4: at most 30 characters.
    for (std::size_t i = 0; i < n; ++i) {
        if (out[i] == ' ') out[i] = '_';
    }
    if (n > 30) out[30] = '\0';
}

}  // namespace kolv
