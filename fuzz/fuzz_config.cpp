// ulk.cfg images of any bytes and length, and site-name cleaning.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <string>

#include "config/bridge_config.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kolv;
    BridgeConfig config;
    std::memset(&config, 0x5A, sizeof config);
    bool ok = parseBridgeConfig(data, size, config);
    if (ok != (size >= sizeof(BridgeConfig))) std::abort();
    if (ok) {
        // Every text is terminated inside its field.
        if (::strnlen(config.host, sizeof config.host) >= sizeof config.host) std::abort();
        if (::strnlen(config.infoDsc, sizeof config.infoDsc) >= sizeof config.infoDsc) std::abort();
    }
    // Cleaning takes any text, also one longer than the field.
    std::string name(reinterpret_cast<const char*>(data), ::strnlen(reinterpret_cast<const char*>(data), size));
    char cleaned[140];
    cleanSiteName(name.c_str(), cleaned, sizeof cleaned);
    std::size_t length = std::strlen(cleaned);
    if (length > 30) std::abort();
    if (std::strchr(cleaned, '~') != nullptr || std::strchr(cleaned, ' ') != nullptr) std::abort();
    return 0;
}
