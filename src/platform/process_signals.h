#pragma once
// Signals and console events that ask the process to stop, or only tell it
// something, turned into calls of the bridge's own.
namespace kolv {

enum class SignalRequest { Stop, Note };

// name: "SIGTERM", "Ctrl+C", ...; called on a thread of its own, one signal
// at a time. A Stop callback ends the process itself.
using SignalCallback = void (*)(const char* name, SignalRequest request);

// Start-up, before any other thread exists: from now on SIGTERM and SIGINT
// (Windows: Ctrl+C, Ctrl+Break, closing the console, log-off and shut-down)
// call callback with Stop, and SIGHUP, SIGUSR1 and SIGUSR2 with Note, instead
// of ending the process.
void routeProcessSignals(SignalCallback callback);

}  // namespace kolv
