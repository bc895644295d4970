// One client of kolv-chat --load, from its connect to its departure.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "kolv_chat_options.h"
#include "kolv_load_record.h"
#include "tool_random.h"

namespace kolvload {

// What a client will do, drawn from its slot's generator before it connects.
struct ClientPlan {
    long packets = 0;
    std::int64_t meanGapMs = 0;
    bool slowReader = false;
    Departure departure = Departure::Close;
    bool midPacket = false;
    std::uint64_t seed = 0;  // for its chunking, padding and pauses
};
ClientPlan drawPlan(kolvtool::Random& random);

// Connects (retrying until it can or stopping is set), sends, leaves. False
// when it never connected.
bool runClient(const kolvchat::Options& o, const std::string& name, const ClientPlan& plan,
               const std::atomic<bool>& stopping);

}  // namespace kolvload
