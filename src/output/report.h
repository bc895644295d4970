#pragma once
// A message that goes to the console and to the activity log alike.
namespace kolv {

// A stamped console line, and the same text in the log when log is true.
void reportLine(const char* message, bool log = true);
// A console line without prefix (completing an open text), and the log line.
void reportBareLine(const char* message);
// "Cannot write FILE in FOLDER: REASON. CONSEQUENCE" with the working folder
// and the system's text for error, as a console line, and in the log when log
// is true (where the log can be written).
void reportUnwritable(const char* fileName, int error, const char* consequence, bool log);
// reportLine / reportBareLine of the formatted text, cut at 511 characters.
void reportFormatted(const char* format, ...) __attribute__((format(printf, 1, 2)));
void reportBareFormatted(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace kolv
