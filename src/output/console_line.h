#pragma once
// The console line forms every message uses. Each call is one unit of
// output: no other thread's text lands inside it.

namespace kolv {

// Timestamp prefix, the message as written (no colour codes read), "\n".
void consoleLine(const char* message);

// The message and "\n", without prefix (completes an open text).
void plainLine(const char* message);

// Timestamp prefix, then the formatted text; no line end is added.
void openText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Formatted text to the console as it stands; no prefix, no line end added.
void consoleRaw(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Completes an open text with a light-green OK.
void printOk();

}  // namespace kolv
