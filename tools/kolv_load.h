// kolv-chat --load: many clients, one after another in each of N slots.
#pragma once

#include "kolv_chat_options.h"

namespace kolvload {

// Runs until --duration or SIGINT/SIGTERM, then prints the summary.
// Returns the exit code: 0, or 1 when no client could connect.
int runLoad(const kolvchat::Options& o);

}  // namespace kolvload
