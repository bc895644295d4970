// What --chaos did: the faults injected, the numbered host messages sent, and
// each link's life, for the summary at the end.
#pragma once

#include <cstdint>
#include <string>

namespace ulksim {

enum class Fault { Stall, Close, Reset, SplitLine, LongLine, ControlChars };
inline constexpr int kFaultKinds = 6;

void noteFault(Fault fault);
void noteHostMessage(long number, int siteNumber, std::int64_t sentAtUnixMs, bool sent);
// unread: bytes the site had sent that nobody read, or -1 when unknown.
void noteLinkEnd(int siteNumber, std::int64_t readyAtUnixMs, long unread, const std::string& why);

void printChaosLog(long seed, long perMinute);

}  // namespace ulksim
