// One site's connection: TLS set-up, writes, reads and the orderly close.
#pragma once

#include <cstdint>
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

// A packet of the host's own, traced unless --quiet.
void sendHostPacket(Site& site, const std::string& packet);

// What one read from a site gave.
struct ReadResult {
    long size = 0;      // bytes read
    bool again = false;  // none yet: wait for waitFor and read again
    kolv::WaitFor waitFor = kolv::WaitFor::Read;
    std::string why;  // else why the connection ends
    bool orderly = true;
};
ReadResult readSome(Site& site, std::vector<char>& buffer);

// Ends the connection in order: TLS close, our end of stream, then a bounded wait
// for the site's end of stream, so it reads a clean close rather than a reset.
void closeSite(const SitePtr& site, const std::string& why, bool orderly);

}  // namespace ulksim
