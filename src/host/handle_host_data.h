#pragma once
#include <cstddef>

#include "config/bridge_config.h"

namespace kolv {

inline constexpr std::size_t kReceiveBufferSize = 12228;
inline constexpr std::size_t kMaxLineCharacters = 511;  // before its "\n"

// What one link's reads carry over to the next read.
struct HostReadCarry {
    char text[513] = {};             // incomplete last line, without its "\n"
    bool dropNextPiece = false;      // the rest of an over-long line follows, up to its "\n"
};

// Handles the text of one read (carried text included, up to its first zero
// byte): cuts it into lines, measures latency, passes chat on and answers
// host commands. An incomplete last line is left in carry; so is a read
// without any line end, unless it is one whole packet. Main thread; takes
// the tracker lock, then the slot send locks and the host senders' locks one
// at a time.
void handleHostData(HostReadCarry& carry, const BridgeConfig& config, const char* text);

}  // namespace kolv
