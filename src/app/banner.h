#pragma once

namespace kolv {

// The start-up banner, printed plainly ("|" prints as itself).
void printBanner();

// The "-?" help text.
void printHelp();

}  // namespace kolv
