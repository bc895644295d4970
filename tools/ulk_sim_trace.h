// The simulator's trace: one line per event on standard output, stamped with
// the time of day.
#pragma once

#include <cstdint>
#include <string>

namespace ulksim {

void report(const std::string& text);

// Control bytes would garble the trace; shows them as \xNN.
std::string printable(const std::string& text);

// Waits for any line being written, then flushes: the process is about to end.
void flushReports();

}  // namespace ulksim
