#pragma once

// What the bridge writes to the host. Each sender traces the packet with -V,
// writes it as one unit (writeHostLink), pauses 10 ms, then reports a failure
// or records the packet for the latency measurement. Any thread; they take
// the write turn and link lock, then the tracker, console and log locks,
// never two at once.
namespace kolv {

// The bridge's own command to the host: "CLIENT", siteName, fromAux,
// "SERVER", toSite, "", body. body is format filled with argument (cut at
// 140 characters), or format unchanged when argument is empty.
bool sendCmdPacket(const char* fromAux, const char* toSite, const char* format, const char* argument);

// A chat line in a local user's name, addressed to "NOTME".
bool sendMsgPacket(const char* user, const char* body);

// Relays what a local client sent, unchanged.
bool sendHostPacket(const char* text);

}  // namespace kolv
