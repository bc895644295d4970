#pragma once
// What start-up settles about this run, read by every thread afterwards.
#include <atomic>

#include "config/pin_file.h"

namespace kolv {

struct SiteSettings {
    // Written by start-up before any other thread exists; read-only afterwards.
    char pidText[8] = {};
    char siteName[140] = {};  // cleaned for packets (see cleanSiteName)
    TrustPolicy trust;        // ulk.pin
    // Set by the -V option at start-up; read by every thread.
    std::atomic<bool> verbose{false};
};

// The process-wide settings. Never destroyed: detached threads read them
// until the process ends.
SiteSettings& siteSettings();

// Whether -V asked for every packet to be shown and logged.
bool verboseLogging();

}  // namespace kolv
