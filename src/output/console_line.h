#pragma once
// The console forms every message uses. "Stamped" output starts with the
// timestamp prefix, "bare" output does not; a "line" gets its "\n" added, a
// "text" ends as written. Each call is one unit of output: no other thread's
// text lands inside it. Any thread may call them; they take the console lock.
namespace kolv {

// Timestamp prefix, the message as written (no colour codes read), "\n".
void printStampedLine(const char* message);
// The message and "\n", without prefix (completes an open text).
void printBareLine(const char* message);
// Timestamp prefix, then the formatted text; no line end is added.
void printStampedText(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Formatted text to the console as it stands; no prefix, no line end added.
void printBareText(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Completes an open text with a light-green OK.
void printOk();

}  // namespace kolv
