#pragma once
// The few expectations that differ between the platforms, in one place.
#include <string>

#include "platform/system.h"

namespace kolv::testutil {

inline bool onWindows() { return std::string(platformName()) == "Windows"; }

// Line end of a text file that the C runtime writes in text mode (kolv.log).
inline std::string textLineEnd() { return onWindows() ? "\r\n" : "\n"; }

// What a send reports once the peer has reset the connection: EPIPE on
// POSIX, WSAECONNRESET on Windows.
inline int peerGoneError() { return onWindows() ? 10054 : 32; }

}  // namespace kolv::testutil
