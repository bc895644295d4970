#pragma once
#include <cstddef>

#include "platform/system.h"

namespace kolv {

inline constexpr const char* kLogFileName = "kolv.log";

// message into out without any "\r" or "\n" and with the other control bytes
// escaped (visibleText), at most size - 1 characters.
void cleanLogMessage(const char* message, char* out, std::size_t size);

// Opens kolv.log as each line does (creating it when missing) and closes it
// again. False, with the system's error code, when it cannot be opened.
bool logCanBeOpened(int& error);

// Appends "[date time] source=kolv-bridge message" to kolv.log. Never fails
// towards the caller: an unwritable log is silently skipped. Each line reaches
// the file whole, whichever threads log at once.
void appendLog(const char* message);

}  // namespace kolv
