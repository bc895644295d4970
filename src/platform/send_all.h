#pragma once
#include <cstddef>

#include "platform/socket.h"

namespace kolv {

// Sends all of data on a blocking socket, going on after a short send (which
// a send time-out can end with). Returns length, or -1 with lastSocketError()
// set when a send fails — also after part of data went out, so a cut packet
// is reported instead of passing for a sent one.
long socketSendAll(SocketHandle s, const char* data, std::size_t length);

}  // namespace kolv
