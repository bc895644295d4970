#pragma once
#include "platform/socket.h"

namespace kolv {

// What the listener hands to a new client thread.
struct ClientStart {
    SocketHandle clientSocket;
    int slot;
};

// The body of a client thread, one per connected client: relays the
// client's text to the host in whole lines until its connection ends (a line
// that cannot be relayed whole is dropped and reported), then sends the
// departure notice, frees the slot and closes the socket. Takes the host
// senders' locks and, for its join notice, its slot's send lock.
void clientThread(ClientStart start);

}  // namespace kolv
