// What the simulator does for one site: greets it, answers its commands to the
// host, and passes its chat on.
#pragma once

#include "ulk_sim_sites.h"

namespace ulksim {

// Runs on the site's own thread until its connection ends; closes it.
void serveSite(SitePtr site);

}  // namespace ulksim
