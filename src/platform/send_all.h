#pragma once
#include <cstddef>

#include "platform/socket.h"

namespace kolv {

// Sends all of data on a blocking socket, going on after a short send (which
// a send time-out can end with). Returns length, or -1 with lastSocketError()
// set when a send fails. `sent` receives how many bytes went out either way:
// a failure after some of them did has cut the stream.
long socketSendAll(SocketHandle s, const char* data, std::size_t length, std::size_t& sent);

}  // namespace kolv
