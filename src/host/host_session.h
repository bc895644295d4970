#pragma once
// What the main thread keeps across host-link attempts. Only the main
// thread (the retry supervisor and the link it runs) reads or writes it.
namespace kolv {

struct HostSession {
    bool everConnected = false;     // a handshake has gone out once
    bool reconnectPending = false;  // a link was lost: tell the clients after the next HELLO
    int retryCount = 0;             // attempts since the last link was made
};

HostSession& hostSession();

}  // namespace kolv
