#pragma once

namespace kolv {

struct RetryPolicy {
    int maxRetries = 0;        // 0: no limit once a link has been made
    int retryWaitSeconds = 5;
};

enum class OptionsOutcome { Run, ShowedHelp };

// Applies the command-line arguments in order, printing what they print.
// Stops at "-?" after printing the help.
OptionsOutcome applyOptions(int argc, const char* const* argv, RetryPolicy& policy);

// Decimal value at the start of text, as atoi reads it (0 when none),
// clamped to the int range.
int leadingDecimal(const char* text);

}  // namespace kolv
