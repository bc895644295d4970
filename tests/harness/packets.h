#pragma once
// Packet and console texts the end-to-end tests expect from the bridge.
#include <optional>
#include <regex>
#include <string>

namespace kolvtest {

// The bridge's latency notice to its local clients.
inline std::string latencyPacket(long long ms) { return "SERVER~~~CLIENT~~~LATENCY:" + std::to_string(ms) + "~\n"; }

// The n of a latency notice, or nothing when line is not one.
inline std::optional<long long> latencyOf(const std::optional<std::string>& line) {
    static const std::regex kNotice("SERVER~~~CLIENT~~~LATENCY:(-?[0-9]+)~\n");
    std::smatch match;
    if (!line || !std::regex_match(*line, match, kNotice)) return std::nullopt;
    return std::stoll(match[1].str());
}

// A line read, or a visible stand-in when none came: for assertion messages.
inline std::string text(const std::optional<std::string>& line) { return line.value_or("<nothing>"); }

// The end of a stamped console line announcing a join or a leave.
inline std::string joinLine(const std::string& user, int slot) {
    return "] " + user + " entered chat (slot #" + std::to_string(slot) + " occupied).\n";
}
inline std::string leaveLine(const std::string& user, int slot) {
    return "] " + user + " has left chat (slot #" + std::to_string(slot) + " cleared).\n";
}

}  // namespace kolvtest
