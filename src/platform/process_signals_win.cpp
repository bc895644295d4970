#include "platform/process_signals.h"

#include <windows.h>

#include <atomic>

namespace kolv {
namespace {

std::atomic<SignalCallback> routedCallback{nullptr};

const char* eventName(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
            return "Ctrl+C";
        case CTRL_BREAK_EVENT:
            return "Ctrl+Break";
        case CTRL_CLOSE_EVENT:
            return "Console close";
        default:
            return "System shutdown";  // log-off or shut-down
    }
}

// Runs on a thread the system starts for the event. The callback ends the
// process; Windows waits for it (for a closed console, up to 5 s).
BOOL WINAPI onConsoleEvent(DWORD event) {
    SignalCallback callback = routedCallback.load();
    if (callback == nullptr) return FALSE;
    callback(eventName(event), SignalRequest::Stop);
    return TRUE;
}

}  // namespace

void routeProcessSignals(SignalCallback callback) {
    routedCallback.store(callback);
    ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

}  // namespace kolv
