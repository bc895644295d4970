#include "app/stop_bridge.h"

#include "clients/client_slot_table.h"
#include "link/lifecycle.h"
#include "link/service_status.h"
#include "output/report.h"
#include "platform/system.h"

namespace kolv {
namespace {

// How long the main thread may take to close the host link after a stop; a
// main thread inside a connect or a name look-up has no link to close.
constexpr int kMainStopMs = 1800;

}  // namespace

void onProcessSignal(const char* name, SignalRequest request) {
    if (request == SignalRequest::Note) {
        reportFormatted("%s received: going on.", name);
        return;
    }
    reportFormatted("%s received: stopping.", name);
    serviceStopping();
    requestStop();
    closeAllClients();
    waitForMainStopped(kMainStopMs);
    exitProcess(0);
}

}  // namespace kolv
