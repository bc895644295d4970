// ulk.pin texts of any bytes: read without overrun, and every entry read is
// one the text lists.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "config/pin_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kolv;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    TrustPolicy policy;
    std::string error;
    const bool ok = parsePinFile(text, policy, error);
    if (ok != error.empty() || !policy.pinned) std::abort();
    if (ok && policy.pins.empty() && !policy.verifyChain) std::abort();
    if (!ok && error.rfind("line ", 0) != 0 && error != "no pin and no \"verify\" listed") std::abort();
    // A pin written back is read back as the same pin.
    for (const PinDigest& pin : policy.pins) {
        TrustPolicy again;
        if (!parsePinFile(formatPin(pin), again, error) || again.pins.size() != 1 || again.pins[0] != pin) std::abort();
    }
    return 0;
}
