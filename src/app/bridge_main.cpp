#include "app/bridge_main.h"

#include <thread>

#include "app/banner.h"
#include "app/options.h"
#include "app/retry_supervisor.h"
#include "clients/listener_thread.h"
#include "config/bridge_config.h"
#include "config/site_settings.h"
#include "output/bounded_format.h"
#include "output/console_line.h"
#include "output/report.h"
#include "platform/console.h"
#include "platform/system.h"

namespace kolv {

int bridgeMain(int argc, const char* const* argv) {
    ignoreBrokenPipe();
    tightenSleepTimers();  // before any thread starts: threads inherit it
    if (!consoleAvailable()) return 1;
    SiteSettings& settings = siteSettings();
    boundedFormat(settings.pidText, sizeof settings.pidText, "%d", processId());
    printBanner();

    RetryPolicy policy;
    if (applyOptions(argc, argv, policy) == OptionsOutcome::ShowedHelp) return 0;

    // Lives for the whole process: the listener keeps a pointer to its port.
    static BridgeConfig* config = new BridgeConfig();
    if (!loadBridgeConfig(*config)) {
        reportLine("Invalid config. Run setup.", verboseLogging());
        return -1;
    }
    cleanSiteName(config->siteName, settings.siteName, sizeof settings.siteName);

    static const char* portText = config->port;
    std::thread(listenerThread, &portText).detach();

    if (policy.maxRetries != 0) {
        printStampedText("Max connection retries: %d\r\n", policy.maxRetries);
    } else {
        printStampedLine("Max connection retries: Infinite");
    }
    return runRetrySupervisor(*config, policy);
}

}  // namespace kolv
