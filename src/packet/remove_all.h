#pragma once
#include <string>

namespace kolv {

inline constexpr std::size_t kRemoveAllLimit = 511;

// text with every occurrence of pattern removed, scanning left to right
// without overlap; the result is cut at 511 characters. An empty pattern
// gives an equal copy (also cut at 511).
std::string removeAll(const char* text, const char* pattern);

}  // namespace kolv
