#pragma once
// A fake network and clock for the fuzz targets: reads come from the fuzz
// input in chunks, writes are captured per descriptor, sleeps return at once.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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
    std::map<SocketHandle, std::size_t> cut;      // sends that do not end in "\n", per descriptor
    std::string console;                          // everything printed
};

FakeNetwork& fakeNetwork();

// One input's start: console captured, fake network and clock installed
// and reset to data, and a plain host link open on kFakeHostSocket after
// handshake (an empty one sends nothing).
FakeNetwork& startFakeInput(const std::uint8_t* data, std::size_t size, const char* handshake);
// Closes the host link that startFakeInput opened.
void endFakeInput();

// Next read: the first input byte gives its length (1..256), the bytes follow.
long nextChunk(void* out, std::size_t room);

// Names the broken invariant before stopping, so a finding explains itself.
inline void checkAt(bool condition, const char* what, int line) {
    if (condition) return;
    std::fprintf(stderr, "invariant broken at line %d: %s\n", line, what);
    std::abort();
}

}  // namespace kolv::fuzz

#define FUZZ_CHECK(condition) ::kolv::fuzz::checkAt((condition), #condition, __LINE__)
