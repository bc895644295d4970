#pragma once
// Test seam: fuzzers and tests replace the network and the clock here. With
// no seam installed (the default) every call goes to the operating system.
#include <cstddef>
#include <cstdint>

#include "platform/socket.h"

namespace kolv {

struct PlatformSeam {
    long (*send)(SocketHandle s, const void* data, std::size_t length);  // as socketSend
    long (*recv)(SocketHandle s, void* data, std::size_t length);        // as socketRecv
    void (*sleep)(std::int64_t milliseconds);                            // as sleepMs
    std::int64_t (*unixMs)();                                            // as nowUnixMs
    int (*wait)(SocketHandle s, WaitFor what, int timeoutMs);            // as waitSocket
};

// Installs seam (nullptr restores the operating system). Every member must be set.
void setPlatformSeam(const PlatformSeam* seam);
const PlatformSeam* platformSeam();

}  // namespace kolv
