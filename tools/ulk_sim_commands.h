// The simulator's commands on standard input: drop, say, ping, hello, sites, quit.
#pragma once

namespace ulksim {

// Reads commands until the end of input; the simulator runs on after it.
void stdinLoop();

}  // namespace ulksim
