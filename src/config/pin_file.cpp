#include "config/pin_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "packet/packet_text.h"
#include "platform/path_probe.h"

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

// Why a path that exists cannot serve as the pin file; empty for a plain file.
std::string unusableBecause(const PathFacts& facts) {
    switch (facts.kind) {
        case PathKind::Absent:
        case PathKind::File: return {};
        case PathKind::Folder: return "a folder";
        case PathKind::OtherKind: return "not a plain file";
        case PathKind::LinkToNothing: return "a link to nothing";
        case PathKind::LinkLoop: return "a link loop";
        case PathKind::Unreachable: break;
    }
    return "cannot be read: " + facts.failure;
}

bool readWhole(const char* path, std::string& text, std::string& error) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        error = std::string("cannot be read: ") + std::strerror(errno);
        return false;
    }
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) text.append(chunk, n);
    const bool failed = std::ferror(file) != 0;
    if (failed) error = std::string("cannot be read: ") + std::strerror(errno);
    std::fclose(file);
    return !failed;
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
    // Only "no such file" means unpinned: any fault in reaching the file must
    // stop the bridge rather than quietly drop the pins.
    const PathFacts facts = probePath(path);
    if (facts.kind == PathKind::Absent) return true;
    error = unusableBecause(facts);
    std::string text;
    if (!error.empty() || !readWhole(path, text, error)) return false;
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
