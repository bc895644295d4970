// How kolv-chat prints what the bridge sends: as received, or rendered for a
// person (colour codes applied, link notices in words).
#pragma once

#include <string_view>

namespace kolvchat {

void showLine(bool raw, std::string_view line);

}  // namespace kolvchat
