#include "harness/common.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>

namespace kolvtest {
namespace {

double timeoutScale() {
    static const double scale = [] {
        const char* text = std::getenv("KOLV_TEST_TIMEOUT_SCALE");
        if (text == nullptr || *text == '\0') return 1.0;
        char* end = nullptr;
        double value = std::strtod(text, &end);
        return (end != text && value > 0.0) ? value : 1.0;
    }();
    return scale;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

Millis scaled(Millis timeout) {
    return Millis(static_cast<Millis::rep>(static_cast<double>(timeout.count()) * timeoutScale()));
}

Clock::time_point deadlineAfter(Millis timeout) { return Clock::now() + scaled(timeout); }

int millisLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    if (left > INT_MAX) return INT_MAX;
    return static_cast<int>(left);
}

std::size_t countOccurrences(std::string_view text, std::string_view needle) {
    if (needle.empty()) return 0;
    std::size_t count = 0;
    for (std::size_t at = text.find(needle); at != std::string_view::npos; at = text.find(needle, at + needle.size())) {
        ++count;
    }
    return count;
}

std::vector<std::string> splitLines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end = text.find('\n'); end != std::string_view::npos; end = text.find('\n', start)) {
        lines.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    if (start < text.size()) lines.emplace_back(text.substr(start));
    return lines;
}

bool hasStamp(std::string_view line) {
    // "[yyyy/mm/dd hh:mm:ss] "
    static constexpr std::string_view kShape = "[dddd/dd/dd dd:dd:dd] ";
    if (line.size() < kShape.size()) return false;
    for (std::size_t i = 0; i < kShape.size(); ++i) {
        if (kShape[i] == 'd' ? !isDigit(line[i]) : line[i] != kShape[i]) return false;
    }
    return true;
}

std::string maskStamps(std::string_view text) {
    std::string result;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] == '[' && hasStamp(text.substr(i))) {
            result += "[T] ";
            i += 22;
        } else {
            result += text[i++];
        }
    }
    return result;
}

std::string stripStamp(std::string_view line) {
    if (!hasStamp(line)) return std::string(line);
    return std::string(line.substr(22));
}

std::vector<std::string> stampedLines(std::string_view output) {
    std::vector<std::string> result;
    for (const std::string& line : splitLines(output)) {
        if (!hasStamp(line)) continue;
        std::string text = stripStamp(line);
        if (!text.empty() && text.back() == '\r') text.pop_back();
        result.push_back(std::move(text));
    }
    return result;
}

std::string bridgePlatformText() {
    const char* overridden = std::getenv("KOLV_BRIDGE_PLATFORM");
    if (overridden != nullptr && *overridden != '\0') return overridden;
#if defined(__linux__)
    std::string platform = "Linux";
#elif defined(__APPLE__)
    std::string platform = "macOS";
#else
    std::string platform = "POSIX";
#endif
#if defined(__x86_64__)
    return platform + ".x64";
#elif defined(__i386__)
    return platform + ".x86";
#elif defined(__aarch64__)
    return platform + ".arm64";
#elif defined(__arm__)
    return platform + ".arm";
#else
    return platform + ".unknown";
#endif
}

bool bridgeIsWindows() { return bridgePlatformText().rfind("Windows", 0) == 0; }

std::string bridgeLogLineEnd() { return bridgeIsWindows() ? "\r\n" : "\n"; }

int bridgeErrorCode(BridgeOsError error) {
    struct Codes {
        BridgeOsError error;
        int posix;
        int windows;
    };
    static constexpr Codes kCodes[] = {
        {BridgeOsError::NotASocket, EBADF, 10038},
        {BridgeOsError::AddressInUse, EADDRINUSE, 10048},
        {BridgeOsError::SendTimedOut, EAGAIN, 10060},
        {BridgeOsError::ConnectionRefused, ECONNREFUSED, 10061},
    };
    for (const Codes& codes : kCodes) {
        if (codes.error == error) return bridgeIsWindows() ? codes.windows : codes.posix;
    }
    throw HarnessError("bridgeErrorCode: unknown error");
}

std::string bridgeError(BridgeOsError error) { return std::to_string(bridgeErrorCode(error)); }

std::string expectedHandshake(std::string_view site, std::string_view software) {
    return std::string(site) + "~" + std::string(software) + "/" + bridgePlatformText() + "/1.3.103";
}

}  // namespace kolvtest
