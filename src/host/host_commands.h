#pragma once
#include "config/bridge_config.h"

// The bridge's answers to the host's own commands. Main thread (the receive
// loop); they write through the host senders and broadcast to the clients.
namespace kolv {

// Answers "HELLO": the five info texts, IMALIVE, CAPABILITIES, then the
// RECONNECT notice to the clients when a lost link has been replaced.
void announceSite(const BridgeConfig& config);

// Answers "ping": IMALIVE with the current time, then a STATS request.
void answerPing(const BridgeConfig& config);

// Stores the text of a "STATS:" command (at most 29 characters) in ulkstats.dat.
void storeStats(const char* statsText);

inline constexpr const char* kStatsFileName = "ulkstats.dat";

}  // namespace kolv
