#pragma once
#include <cstddef>

#include "platform/system.h"

namespace kolv {

// "|07[|10yyyy/mm/dd hh:mm:ss|07] " for the given time, cut to size - 1.
void formatStampPrefix(char* buffer, std::size_t size, const LocalTime& time);

// Prints the timestamp prefix for the current local time through printPiped.
void stampPrefix();

}  // namespace kolv
