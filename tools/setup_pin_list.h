// ulk.pin as kolv-setup --pin-host adds to it: a pin appended once, the
// user's own lines left as they are.
#pragma once

#include "config/pin_file.h"

namespace kolvsetup {

inline constexpr const char* kPinFileHeader = "# Host certificates this site trusts; see kolv-setup --pin-host.\n";

enum class PinAdded { Added, AlreadyListed, Failed };

// Appends pin's line to the file at path, made with kPinFileHeader when
// absent, unless a line of it already lists the pin. Failed with the reason
// on stderr.
PinAdded addPin(const kolv::PinDigest& pin, const char* path = kolv::kPinFileName);

}  // namespace kolvsetup
