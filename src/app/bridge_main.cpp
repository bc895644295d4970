#include "app/bridge_main.h"

#include <thread>

#include "app/banner.h"
#include "app/bridge_config.h"
#include "app/bridge_state.h"
#include "app/options.h"
#include "app/retry_supervisor.h"
#include "clients/listener_thread.h"
#include "output/append_log.h"
#include "output/bounded_format.h"
#include "output/console_line.h"
#include "platform/console.h"
#include "platform/system.h"

namespace kolv {

int bridgeMain(int argc, const char* const* argv) {
    ignoreBrokenPipe();
    tightenSleepTimers();  // before any thread starts: threads inherit it
    if (!consoleAvailable()) return 1;
    BridgeState& state = bridgeState();
    boundedFormat(state.pidText, sizeof state.pidText, "%d", processId());
    initialiseBridgeState(state);
    printBanner();

    RetryPolicy policy;
    if (applyOptions(argc, argv, policy) == OptionsOutcome::ShowedHelp) return 0;

    // Lives for the whole process: the listener keeps a pointer to its port.
    static BridgeConfig* config = new BridgeConfig();
    if (!loadBridgeConfig(*config)) {
        consoleLine("Invalid config. Run setup.");
        if (state.verbose.load()) appendLog("Invalid config. Run setup.");
        return -1;
    }
    cleanSiteName(config->siteName, state.siteName, sizeof state.siteName);

    static const char* portText = config->port;
    std::thread(listenerThread, &portText).detach();

    if (policy.maxRetries != 0) {
        openText("Max connection retries: %d\r\n", policy.maxRetries);
    } else {
        consoleLine("Max connection retries: Infinite");
    }
    return runRetrySupervisor(*config, policy);
}

}  // namespace kolv
