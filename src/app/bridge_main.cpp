#include "app/bridge_main.h"

#include <string>
#include <thread>

#include "app/banner.h"
#include "app/options.h"
#include "app/retry_supervisor.h"
#include "app/stop_bridge.h"
#include "clients/listener_thread.h"
#include "config/bridge_config.h"
#include "config/pin_file.h"
#include "config/site_settings.h"
#include "link/service_status.h"
#include "output/append_log.h"
#include "output/bounded_format.h"
#include "output/console_line.h"
#include "output/report.h"
#include "platform/console.h"
#include "platform/process_signals.h"
#include "platform/system.h"

namespace kolv {
namespace {

// Reads ulk.cfg and ulk.pin into config and the settings. False after
// reporting why the bridge cannot start with them.
bool loadSiteFiles(BridgeConfig& config, SiteSettings& settings) {
    if (!loadBridgeConfig(config)) {
        reportLine("Invalid config. Run kolv-setup.", verboseLogging());
        return false;
    }
    std::string pinError;
    if (!loadPinFile(settings.trust, pinError)) {
        std::string line = std::string("Invalid ") + kPinFileName + ", " + pinError + ".";
        reportLine(line.c_str());
        return false;
    }
    if (settings.trust.pinned && config.useTls == 0) {
        reportLine("ulk.pin needs TLS: turn TLS on in ulk.cfg.");
        return false;
    }
    cleanSiteName(config.siteName, settings.siteName, sizeof settings.siteName);
    return true;
}

// A log that cannot be opened drops each line without a word; the operator
// hears it once here, before anything worth logging happens.
void checkLogFolder() {
    int error = 0;
    if (!logCanBeOpened(error)) reportUnwritable(kLogFileName, error, "Running without a log.", false);
}

}  // namespace

int bridgeMain(int argc, const char* const* argv) {
    ignoreBrokenPipe();
    tightenSleepTimers();                  // before any thread starts: threads inherit it
    routeProcessSignals(onProcessSignal);  // likewise
    if (!consoleAvailable()) return 1;
    if (asksForVersion(argc, argv)) {
        printVersion();
        return 0;
    }
    SiteSettings& settings = siteSettings();
    boundedFormat(settings.pidText, sizeof settings.pidText, "%d", processId());
    printBanner();

    RetryPolicy policy;
    if (applyOptions(argc, argv, policy) == OptionsOutcome::ShowedHelp) return 0;

    // Lives for the whole process: the listener keeps a pointer to its port.
    static BridgeConfig* config = new BridgeConfig();
    if (!loadSiteFiles(*config, settings)) return -1;
    checkLogFolder();

    static const char* portText = config->port;
    std::thread(listenerThread, &portText, policy.retryWaitSeconds).detach();
    startServiceWatchdog();

    if (policy.maxRetries != 0) {
        printStampedText("Max connection retries: %d\r\n", policy.maxRetries);
    } else {
        printStampedLine("Max connection retries: Infinite");
    }
    return runRetrySupervisor(*config, policy);
}

}  // namespace kolv
