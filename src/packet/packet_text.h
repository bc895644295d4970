#pragma once
// The text utilities of packets: building, checksum, field splitting,
// pattern removal and case-blind comparison.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kolv {

inline constexpr std::size_t kPacketBufferSize = 513;  // 512 characters and the terminator

// Joins the seven fields as "%s~%s~%s~%s~%s~%s~%s~\n" into out, cut at 512
// characters (a cut packet lacks its closing "~\n").
void formatPacket(char (&out)[kPacketBufferSize], const char* fromUser, const char* fromSite,
                  const char* fromAux, const char* toUser, const char* toSite, const char* toAux,
                  const char* body);
// The bridge's notice to its clients: "SERVER~~~CLIENT~~~" body "~\n".
void formatServerNotice(char (&out)[kPacketBufferSize], const char* body);
// "LATENCY:" and the figure in milliseconds, for the notice and the trace.
void formatLatencyText(char (&out)[20], std::int64_t latencyMs);

// Sum of the text's bytes taken as signed 8-bit values.
std::int32_t packetChecksum(const char* text);

// Pieces of text between separators, in order: count = separators + 1.
// Adjacent separators give empty pieces; nothing is trimmed or dropped.
std::vector<std::string> splitFields(std::string_view text, char separator);
// Number of times c occurs in text.
std::size_t countChar(std::string_view text, char c);
// One packet as it stands without its line end: seven "~", the last
// character one of them.
bool isWholePacket(std::string_view text);

inline constexpr std::size_t kRemoveAllLimit = 511;
// text with every occurrence of pattern removed, scanning left to right
// without overlap; the result is cut at 511 characters. An empty pattern
// gives an equal copy (also cut at 511).
std::string removeAll(const char* text, const char* pattern);

// ASCII comparisons that ignore letter case.
bool startsWithIgnoringCase(std::string_view text, std::string_view prefix);
bool equalsIgnoringCase(std::string_view a, std::string_view b);

}  // namespace kolv
