#include "packet/packet_text.h"

#include <algorithm>
#include <cstring>

#include "output/bounded_format.h"

namespace kolv {
namespace {

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

void formatPacket(char (&out)[kPacketBufferSize], const char* fromUser, const char* fromSite,
                  const char* fromAux, const char* toUser, const char* toSite, const char* toAux,
                  const char* body) {
    boundedFormat(out, sizeof out, "%s~%s~%s~%s~%s~%s~%s~\n", fromUser, fromSite, fromAux, toUser, toSite, toAux,
                  body);
}

void formatServerNotice(char (&out)[kPacketBufferSize], const char* body) {
    formatPacket(out, "SERVER", "", "", "CLIENT", "", "", body);
}

void formatLatencyText(char (&out)[20], std::int64_t latencyMs) {
    boundedFormat(out, sizeof out, "LATENCY:%lld", static_cast<long long>(latencyMs));
}

std::int32_t packetChecksum(const char* text) {
    std::int32_t sum = 0;
    for (const char* p = text; *p != '\0'; ++p) sum += static_cast<std::int8_t>(*p);
    return sum;
}

std::vector<std::string> splitFields(std::string_view text, char separator) {
    std::vector<std::string> pieces;
    pieces.reserve(countChar(text, separator) + 1);
    std::size_t start = 0;
    for (;;) {
        std::size_t end = text.find(separator, start);
        if (end == std::string_view::npos) {
            pieces.emplace_back(text.substr(start));
            return pieces;
        }
        pieces.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
}

std::size_t countChar(std::string_view text, char c) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), c));
}

bool isWholePacket(std::string_view text) { return !text.empty() && text.back() == '~' && countChar(text, '~') == 7; }

std::string removeAll(const char* text, const char* pattern) {
    std::string result;
    std::size_t length = std::strlen(text);
    std::size_t patternLength = std::strlen(pattern);
    result.reserve(length < kRemoveAllLimit ? length : kRemoveAllLimit);
    std::size_t i = 0;
    while (i < length && result.size() < kRemoveAllLimit) {
        if (patternLength > 0 && std::strncmp(text + i, pattern, patternLength) == 0) {
            i += patternLength;
        } else {
            result.push_back(text[i]);
            ++i;
        }
    }
    return result;
}

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (lower(text[i]) != lower(prefix[i])) return false;
    }
    return true;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && startsWithIgnoringCase(a, b);
}

}  // namespace kolv
