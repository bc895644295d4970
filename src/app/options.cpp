#include "app/options.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "app/banner.h"
#include "config/site_settings.h"
#include "output/console_line.h"
#include "packet/packet_text.h"

namespace kolv {

int leadingDecimal(const char* text) {
    errno = 0;
    long long value = std::strtoll(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

bool asksForHelp(const char* arg) {
    return startsWithIgnoringCase(arg, "-?") || equalsIgnoringCase(arg, "-h") || equalsIgnoringCase(arg, "--help");
}

bool asksForVersion(int argc, const char* const* argv) {
    for (int i = 0; i < argc; ++i) {
        if (asksForHelp(argv[i])) return false;
        if (equalsIgnoringCase(argv[i], "--version")) return true;
    }
    return false;
}

OptionsOutcome applyOptions(int argc, const char* const* argv, RetryPolicy& policy) {
    for (int i = 0; i < argc; ++i) {
        const char* arg = argv[i];
        if (asksForHelp(arg)) {
            printHelp();
            return OptionsOutcome::ShowedHelp;
        }
        if (equalsIgnoringCase(arg, "-V")) {
            siteSettings().verbose.store(true);
            printStampedText("Verbose logging ");
            printOk();
        } else if (startsWithIgnoringCase(arg, "-R")) {
            policy.maxRetries = leadingDecimal(arg + 2);
        } else if (startsWithIgnoringCase(arg, "-W")) {
            int seconds = leadingDecimal(arg + 2);
            policy.retryWaitSeconds = seconds <= 0 ? 5 : seconds;
            printStampedText("Retry wait seconds: %d\r\n", policy.retryWaitSeconds);
        }
    }
    return OptionsOutcome::Run;
}

}  // namespace kolv
