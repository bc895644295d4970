#pragma once

namespace kolv {

// The start-up banner, printed plainly ("|" prints as itself).
void printBanner();

// The help text ("-?", "-h", "--help").
void printHelp();

// The one plain "--version" line: "Kolv-Bridge 103 (1.3.103)".
void printVersion();

}  // namespace kolv
