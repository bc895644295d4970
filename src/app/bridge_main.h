#pragma once

namespace kolv {

// Start-up and the retry supervisor; returns the process exit code.
int bridgeMain(int argc, const char* const* argv);

}  // namespace kolv
