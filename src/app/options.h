#pragma once

namespace kolv {

struct RetryPolicy {
    int maxRetries = 0;        // 0: no limit once a link has been made
    int retryWaitSeconds = 5;
};

enum class OptionsOutcome { Run, ShowedHelp };

// "-?" (and anything after it), "-h" or "--help", in any case.
bool asksForHelp(const char* arg);

// True when "--version" (any case) comes before any help argument. A script
// asking for the version wants that one line: it is answered before the
// banner, and nothing else is applied, read or written.
bool asksForVersion(int argc, const char* const* argv);

// Applies the command-line arguments in order, printing what they print.
// Stops at the first help argument after printing the help.
OptionsOutcome applyOptions(int argc, const char* const* argv, RetryPolicy& policy);

// Decimal value at the start of text, as atoi reads it (0 when none),
// clamped to the int range.
int leadingDecimal(const char* text);

}  // namespace kolv
