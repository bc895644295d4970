#include "app/options.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "app/banner.h"
#include "app/bridge_state.h"
#include "output/console_line.h"

namespace kolv {
namespace {

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool startsWithIgnoringCase(const char* text, const char* prefix) {
    for (; *prefix != '\0'; ++text, ++prefix) {
        if (*text == '\0' || lower(*text) != lower(*prefix)) return false;
    }
    return true;
}

bool equalsIgnoringCase(const char* a, const char* b) {
    return std::strlen(a) == std::strlen(b) && startsWithIgnoringCase(a, b);
}

}  // namespace

int leadingDecimal(const char* text) {
    errno = 0;
    long long value = std::strtoll(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

OptionsOutcome applyOptions(int argc, const char* const* argv, RetryPolicy& policy) {
    for (int i = 0; i < argc; ++i) {
        const char* arg = argv[i];
        if (startsWithIgnoringCase(arg, "-?")) {
            printHelp();
            return OptionsOutcome::ShowedHelp;
        }
        if (equalsIgnoringCase(arg, "-V")) {
            bridgeState().verbose.store(true);
            openText("Verbose logging ");
            printOk();
        } else if (startsWithIgnoringCase(arg, "-R")) {
            policy.maxRetries = leadingDecimal(arg + 2);
        } else if (startsWithIgnoringCase(arg, "-W")) {
            int seconds = leadingDecimal(arg + 2);
            policy.retryWaitSeconds = seconds <= 0 ? 5 : seconds;
            openText("Retry wait seconds: %d\r\n", policy.retryWaitSeconds);
        }
    }
    return OptionsOutcome::Run;
}

}  // namespace kolv
