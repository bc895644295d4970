#include "config/site_settings.h"

namespace kolv {

SiteSettings& siteSettings() {
    static auto* settings = new SiteSettings();
    return *settings;
}

bool verboseLogging() { return siteSettings().verbose.load(); }

}  // namespace kolv
