#include "ulk_sim_sites.h"

#include <algorithm>

namespace ulksim {
namespace {

std::mutex gSitesMutex;
std::vector<SitePtr> gSites;
std::atomic<int> gSiteCounter{0};

}  // namespace

// Appended rather than "#" + ...: GCC 12's fortified build warns falsely on that form.
std::string siteTag(const Site& site) {
    std::string tag = "#";
    tag += std::to_string(site.number);
    return tag;
}

SitePtr addSite(kolv::SocketHandle socket) {
    auto site = std::make_shared<Site>();
    site->number = ++gSiteCounter;
    site->socket = socket;
    std::lock_guard<std::mutex> lock(gSitesMutex);
    if (gSites.size() >= kMaxSites) return nullptr;
    gSites.push_back(site);
    return site;
}

void removeSite(const SitePtr& site) {
    std::lock_guard<std::mutex> lock(gSitesMutex);
    auto found = std::find(gSites.begin(), gSites.end(), site);
    if (found != gSites.end()) gSites.erase(found);
}

std::vector<SitePtr> siteSnapshot() {
    std::lock_guard<std::mutex> lock(gSitesMutex);
    return gSites;
}

bool noSitesLeft() {
    std::lock_guard<std::mutex> lock(gSitesMutex);
    return gSites.empty();
}

std::size_t readySiteCount() {
    std::size_t count = 0;
    for (const auto& site : siteSnapshot()) if (site->ready.load()) ++count;
    return count;
}

void requestDropAll() {
    for (const auto& site : siteSnapshot()) site->dropRequested.store(true);
}

}  // namespace ulksim
