#pragma once
#include <cstddef>

namespace kolv {

inline constexpr std::size_t kPacketBufferSize = 513;  // 512 characters and the terminator

// Joins the seven fields as "%s~%s~%s~%s~%s~%s~%s~\n" into out, cut at 512
// characters (a cut packet lacks its closing "~\n").
void formatPacket(char (&out)[kPacketBufferSize], const char* fromUser, const char* fromSite,
                  const char* fromAux, const char* toUser, const char* toSite, const char* toAux,
                  const char* body);

}  // namespace kolv
