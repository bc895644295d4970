// One site's connection: TLS set-up, writes, reads and the orderly close.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/socket.h"
#include "ulk_sim_sites.h"

namespace ulksim {

// On a drop or at exit, how long to wait for the site to close its side, so it
// sees an orderly end of stream and not a reset.
constexpr std::int64_t kDrainMs = 1000;

bool acceptTls(Site& site);

// Writes the whole text or gives up: on failure the site is marked for dropping.
bool sendToSite(Site& site, const std::string& data);
// The same in two writes, the first cut bytes, the rest pauseMs later; nothing
// else is written to the site in between.
bool sendToSiteInTwo(Site& site, const std::string& data, std::size_t cut, std::int64_t pauseMs);

// A packet of the host's own, traced unless --quiet.
bool sendHostPacket(Site& site, const std::string& packet);

// How a connection ends: in order (each side closes its end of stream), as
// the site broke it (we just close), or with a reset (linger 0).
enum class Ending { Orderly, Broken, Reset };

// What one read from a site gave.
struct ReadResult {
    long size = 0;      // bytes read
    bool again = false;  // none yet: wait for waitFor and read again
    kolv::WaitFor waitFor = kolv::WaitFor::Read;
    std::string why;  // else why the connection ends
    Ending how = Ending::Orderly;
};
ReadResult readSome(Site& site, std::vector<char>& buffer);

// Takes what the site sends while an orderly end waits for its end of stream.
using DrainSink = std::function<void(const char* data, std::size_t size)>;

// In order: TLS close, our end of stream, then a bounded wait for the site's
// end of stream, so it reads a clean close rather than a reset; what it still
// sends goes to keep. Notes the link's end for the --chaos summary.
void closeSite(const SitePtr& site, const std::string& why, Ending how, const DrainSink& keep = nullptr);

}  // namespace ulksim
