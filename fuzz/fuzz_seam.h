#pragma once
// A fake network and clock for the fuzz targets: reads come from the fuzz
// input in chunks, writes are captured per descriptor, sleeps return at once.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "platform/seam.h"

namespace kolv::fuzz {

// Descriptor numbers far above any real one, so nothing real is touched.
inline constexpr SocketHandle kFakeHostSocket = 1 << 24;
inline constexpr SocketHandle kFakeClientSocket = (1 << 24) + 1;

struct FakeNetwork {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::size_t offset = 0;
    SocketHandle readable = kFakeHostSocket;     // the descriptor whose reads take the input
    std::map<SocketHandle, std::string> written;  // everything sent, per descriptor
    std::map<SocketHandle, std::size_t> writes;   // number of send calls, per descriptor
    std::string lastWrite;
    SocketHandle lastWriteSocket = kInvalidSocket;
};

FakeNetwork& fakeNetwork();

// Installs the fake network and clock; idempotent.
void installFuzzSeam();

// Next read: the first input byte gives its length (1..256), the bytes follow.
long nextChunk(void* out, std::size_t room);

}  // namespace kolv::fuzz
