#pragma once
// What the service manager shows of the bridge (systemctl status), and its
// watchdog. Without a service manager every call does nothing worth noting.
namespace kolv {

// Listener, once "Ready for clients." is printed: READY=1.
void serviceReady();
// Main thread, at each attempt's start while no link was ever up: "Connecting to host:port".
void serviceConnecting(const char* host, const char* port);
// Main thread, when a handshake has gone out: "Linked to host:port with N clients".
void serviceLinked(const char* host, const char* port);
// Slot table, whenever a client comes (+1) or goes (-1): the linked status with the new count.
void serviceClientsChanged(int change);
// Main thread, when a link or attempt has ended: "Retrying, attempt n" (of limit, when limit > 0).
void serviceRetrying(int attempt, int limit);
// The stopping thread: "Stopping" and STOPPING=1.
void serviceStopping();

// Start-up: when the service manager asks for keep-alives, a thread sends
// WATCHDOG=1 at half the interval it asks for, but only while the main
// thread and the listener have both shown life within that interval.
void startServiceWatchdog();

}  // namespace kolv
