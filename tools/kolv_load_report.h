// What kolv-chat --load prints: a line per client joining and leaving, and
// the summary with its checks at the end.
#pragma once

#include <string>

#include "kolv_load_record.h"

namespace kolvload {

// One line on standard output; safe from any thread.
void announce(const std::string& text);

// "by close", "by reset, part way through packet 7", "after LOGOFF", ...
std::string departureText(ClientRecord& record);

void printSummary();

}  // namespace kolvload
