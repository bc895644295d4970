#pragma once

namespace kolv {

// Writes text to the console, turning each pipe colour code ("|" and two
// digits) into a change of the console attribute. Colour state starts at
// light grey on black for every call and is not reset at the end.
void printPiped(const char* text);

}  // namespace kolv
