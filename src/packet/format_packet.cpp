#include "packet/format_packet.h"

#include "output/bounded_format.h"

namespace kolv {

void formatPacket(char (&out)[kPacketBufferSize], const char* fromUser, const char* fromSite,
                  const char* fromAux, const char* toUser, const char* toSite, const char* toAux,
                  const char* body) {
    boundedFormat(out, sizeof out, "%s~%s~%s~%s~%s~%s~%s~\n", fromUser, fromSite, fromAux, toUser, toSite, toAux,
                  body);
}

}  // namespace kolv
