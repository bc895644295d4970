#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace kolv {

// Pieces of text between separators, in order: count = separators + 1.
// Adjacent separators give empty pieces; nothing is trimmed or dropped.
std::vector<std::string> splitFields(std::string_view text, char separator);

// Number of times c occurs in text.
std::size_t countChar(std::string_view text, char c);

}  // namespace kolv
