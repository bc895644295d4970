// Every line the sites send, checked: one whole packet (seven fields, ending
// in "~"), and each sender's numbered packets ("NAME SEQ" at the start of the
// body) in order and once. Printed in the summary with --chaos.
#pragma once

#include <string>

namespace ulksim {

// A line without its line end; hadLineEnd is false for text a link's end or
// a pause cut off.
void tallyLine(const std::string& line, bool hadLineEnd);
// The unfinished line left when a link ended.
void tallyUnfinished();

void printTally();

}  // namespace ulksim
