#pragma once

namespace kolv {

inline constexpr const char* kVersionText = "103";

// The start-up banner, printed plainly ("|" prints as itself).
void printBanner();

// The "-?" help text.
void printHelp();

}  // namespace kolv
