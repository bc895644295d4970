#pragma once
// A fresh scratch directory under the system's temporary directory, made the
// working directory for one test: the code under test reads and writes its
// files (ulk.cfg, kolv.log, ulkstats.dat) in the working directory.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>

#include "platform/system.h"

namespace kolv::testutil {

// Creates <temp>/<prefix><random> and returns its path; throws when it cannot.
inline std::filesystem::path makeScratchDir(const std::string& prefix) {
    namespace fs = std::filesystem;
    std::random_device device;
    std::mt19937_64 random(static_cast<std::uint64_t>(device()) ^
                           static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                           (static_cast<std::uint64_t>(processId()) << 32));
    const fs::path base = fs::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path candidate = base / (prefix + std::to_string(random() % 1000000000000ULL));
        std::error_code error;
        if (fs::create_directory(candidate, error)) return candidate;  // false: taken, or failed
    }
    throw std::runtime_error("cannot create a scratch directory under " + base.string());
}

// Enters a new scratch directory; leave() returns to the old working directory
// and removes the scratch one with everything in it.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& prefix)
        : oldDir_(std::filesystem::current_path()), dir_(makeScratchDir(prefix)) {
        std::filesystem::current_path(dir_);
    }
    ~ScratchDir() { leave(); }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& path() const { return dir_; }

    void leave() {
        if (dir_.empty()) return;
        std::error_code ignored;
        std::filesystem::current_path(oldDir_, ignored);
        std::filesystem::permissions(dir_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                                     ignored);
        std::filesystem::remove_all(dir_, ignored);
        dir_.clear();
    }

private:
    std::filesystem::path oldDir_;
    std::filesystem::path dir_;
};

}  // namespace kolv::testutil
