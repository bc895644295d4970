#pragma once
#include "platform/socket.h"

namespace kolv {

// What the listener hands to a new client thread.
struct ClientStart {
    SocketHandle clientSocket;
    int slot;
};

// Relays one local client's traffic to the host until its connection ends,
// then sends the departure notice, frees the slot and closes the socket.
void clientThread(ClientStart start);

}  // namespace kolv
