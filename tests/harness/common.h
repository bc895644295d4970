#pragma once
// Basics shared by the harness: the error type for broken test set-ups,
// deadlines, and small text helpers for console and log output.
#include <chrono>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kolvtest {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

// Thrown when the test set-up itself cannot be made (a tool fails to start,
// no free port, ...). gtest reports it as a failure of the running test.
class HarnessError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Every wait of the harness goes through this: the timeout multiplied by
// KOLV_TEST_TIMEOUT_SCALE (a number, default 1), for slow runs such as Wine.
Millis scaled(Millis timeout);

// Deadline = now + scaled(timeout).
Clock::time_point deadlineAfter(Millis timeout);

// Milliseconds left until deadline, at least 0, at most INT_MAX.
int millisLeft(Clock::time_point deadline);

// Non-overlapping occurrences of needle in text (0 for an empty needle).
std::size_t countOccurrences(std::string_view text, std::string_view needle);

// Pieces of text between "\n" (the "\n" removed, nothing else); text after
// the last "\n" is a last piece only when it is not empty.
std::vector<std::string> splitLines(std::string_view text);

// A console line starts with the timestamp "[yyyy/mm/dd hh:mm:ss] " (colour
// codes are not written when stdout is not a terminal). Returns the line
// without it, or the line unchanged when it has no such prefix.
std::string stripStamp(std::string_view line);

// text with every timestamp "[yyyy/mm/dd hh:mm:ss] " (wherever it stands)
// replaced by "[T] ", for exact comparisons of console output.
std::string maskStamps(std::string_view text);

// True when line starts with a well-formed timestamp prefix.
bool hasStamp(std::string_view line);

// The stdout lines that carry a timestamp, stripped of it and of one
// trailing "\r" (the retry lines end in "\r\n" before the added "\n").
std::vector<std::string> stampedLines(std::string_view output);

// The platform text of the handshake ("Linux.x64" for this build on
// x86-64). KOLV_BRIDGE_PLATFORM overrides it for a bridge built for another
// platform (e.g. "Windows.x86" when KOLV_BRIDGE_CMD runs a Windows build).
std::string bridgePlatformText();

// True when bridgePlatformText names a Windows build (run through Wine).
bool bridgeIsWindows();

// The line end of kolv.log: the bridge writes it in the C runtime's text
// mode, which ends lines in "\r\n" on Windows.
std::string bridgeLogLineEnd();

// Operating-system error numbers in the bridge's "failed with error: %d"
// texts, for the platform the bridge was built for: errno values on Linux,
// Windows Sockets codes on Windows.
enum class BridgeOsError {
    NotASocket,         // a send on a link without socket: EBADF / WSAENOTSOCK
    AddressInUse,       // EADDRINUSE / WSAEADDRINUSE
    SendTimedOut,       // a blocking send ran out of its time-out: EAGAIN / WSAETIMEDOUT
    ConnectionRefused,  // ECONNREFUSED / WSAECONNREFUSED
};
int bridgeErrorCode(BridgeOsError error);
// The same number as text, for building expected console and log lines.
std::string bridgeError(BridgeOsError error);

// The handshake that the bridge sends for a configured site and software:
// "site~software/<platform>/1.3.103".
std::string expectedHandshake(std::string_view site, std::string_view software);

}  // namespace kolvtest
