#include "config/pin_file.h"

#include <cstdio>
#include <filesystem>

#include "packet/packet_text.h"

namespace kolv {
namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string_view trimmed(std::string_view line) {
    const char* blanks = " \t\r";
    std::size_t first = line.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    return line.substr(first, line.find_last_not_of(blanks) - first + 1);
}

// 64 hex digits, colons anywhere between them.
bool parseDigest(std::string_view hex, PinDigest& digest) {
    std::size_t digits = 0;
    for (char c : hex) {
        if (c == ':') continue;
        int value = hexValue(c);
        if (value < 0 || digits == 2 * digest.size()) return false;
        unsigned char& byte = digest[digits / 2];
        byte = static_cast<unsigned char>(digits % 2 == 0 ? value << 4 : byte | value);
        ++digits;
    }
    return digits == 2 * digest.size();
}

bool parseEntry(std::string_view entry, TrustPolicy& policy) {
    constexpr std::string_view kPrefix = "sha256:";
    if (equalsIgnoringCase(entry, "verify")) {
        policy.verifyChain = true;
        return true;
    }
    PinDigest digest{};
    if (!startsWithIgnoringCase(entry, kPrefix) || !parseDigest(entry.substr(kPrefix.size()), digest)) return false;
    policy.pins.push_back(digest);
    return true;
}

}  // namespace

bool parsePinFile(std::string_view text, TrustPolicy& policy, std::string& error) {
    policy = TrustPolicy{};
    policy.pinned = true;
    std::size_t lineNumber = 0;
    while (!text.empty() || lineNumber == 0) {
        std::size_t end = text.find('\n');
        std::string_view line = trimmed(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        ++lineNumber;
        if (line.empty() || line.front() == '#' || parseEntry(line, policy)) continue;
        error = "line " + std::to_string(lineNumber) + ": expected \"sha256:\" and 64 hex digits, or \"verify\"";
        return false;
    }
    if (policy.pins.empty() && !policy.verifyChain) {
        error = "no pin and no \"verify\" listed";
        return false;
    }
    return true;
}

bool loadPinFile(TrustPolicy& policy, std::string& error, const char* path) {
    policy = TrustPolicy{};
    std::error_code ignored;
    if (!std::filesystem::exists(path, ignored)) return true;
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        error = "cannot be read";
        return false;
    }
    std::string text;
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) text.append(chunk, n);
    std::fclose(file);
    return parsePinFile(text, policy, error);
}

std::string formatPin(const PinDigest& digest) {
    static const char* const kHex = "0123456789abcdef";
    std::string pin = "sha256:";
    for (unsigned char byte : digest) {
        pin += kHex[byte >> 4];
        pin += kHex[byte & 15];
    }
    return pin;
}

}  // namespace kolv
