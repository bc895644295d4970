#pragma once
// What the main thread keeps across host-link attempts. Only the main
// thread (the retry supervisor and the link it runs) reads or writes it.
#include <cstdint>

namespace kolv {

struct HostSession {
    bool everConnected = false;     // a link has been made once
    bool reconnectPending = false;  // a link was lost: tell the clients after the next HELLO
    int retryCount = 0;             // attempts since the last link was made
    // The current link: when its handshake went out (steadyMs), and whether it
    // has proved itself (made): its host has sent a line, or it stayed up
    // deadLinkMs(). A host that drops every link before saying anything thus
    // uses up the retry limit like one that refuses.
    std::int64_t linkUpMs = 0;
    bool linkMade = false;
    bool statsFailureTold = false;  // ulkstats.dat could not be written, and that was reported
};

HostSession& hostSession();

// The current link is made: everConnected set, retryCount back to 0. Once a link.
void markLinkMade(HostSession& session);

}  // namespace kolv
