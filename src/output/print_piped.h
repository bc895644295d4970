#pragma once
#include <cstddef>

namespace kolv {

// True when text[i] starts a pipe colour code ("|" and two digits) that ends
// before length.
bool isColourCode(const char* text, std::size_t i, std::size_t length);

// Writes text to the console, turning each pipe colour code into a change of
// the console attribute. Colour state starts at light grey on black for every
// call and is not reset at the end. Takes no lock: the console line functions
// call it under theirs.
void printPiped(const char* text);

}  // namespace kolv
