// Ending the simulator: every site is closed in order before the process exits.
#pragma once

#include <string>

namespace ulksim {

// True once finish has begun: no new site is taken then.
bool finishing();

// Closes every site, waits a bounded time for them to go, and exits 0.
[[noreturn]] void finish(const std::string& why);

}  // namespace ulksim
