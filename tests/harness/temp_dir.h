#pragma once
// A fresh working directory per test, and the bridge's files in it.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "harness/common.h"

namespace kolvtest {

// Creates $TMPDIR/kolv-it-XXXXXX (or /tmp/...). The destructor removes it
// when the running test has passed; when it has failed the directory is kept
// and its path printed, so ulk.cfg, kolv.log and ulkstats.dat can be looked at.
// Declare it before any process that runs in it, so that the process ends
// (and reports its failures) before the directory decides whether to stay.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    operator const std::filesystem::path&() const { return path_; }  // NOLINT: used as a path
    std::filesystem::path file(std::string_view name) const { return path_ / std::string(name); }

    // Keep the directory whatever the outcome.
    void keep() { keep_ = true; }

private:
    std::filesystem::path path_;
    bool keep_ = false;
};

// Whole content of a file; empty when it does not exist.
std::string readFile(const std::filesystem::path& file);
void writeFile(const std::filesystem::path& file, std::string_view content);

// The bridge's activity log, dir/kolv.log, whole, as its platform's
// text-mode reader sees it (a Windows build's "\r\n" line ends read as
// "\n"); empty when absent.
std::string readLog(const std::filesystem::path& dir);
bool logExists(const std::filesystem::path& dir);

// The messages of the log lines, in order: each line must read
// "[yyyy/mm/dd hh:mm:ss] source=kolv-bridge MESSAGE" and end in
// bridgeLogLineEnd(); a line that does not is
// a test failure (ADD_FAILURE) and is returned whole.
std::vector<std::string> logMessages(const std::filesystem::path& dir);

// Waits until kolv.log holds needle at least count times (the log is written
// just after the matching console line, so check it with this, not at once).
bool waitForLog(const std::filesystem::path& dir, std::string_view needle, Millis timeout,
                std::size_t count = 1);

// Options of kolv-setup; the defaults make a plain link to a FakeHost on
// the given port. Change them with the with... setters:
//   writeConfig(dir, ConfigOptions(host.portText()).withTls().withSite("My Board"));
struct ConfigOptions {
    explicit ConfigOptions(std::string portText) : port(std::move(portText)) {}

    std::string host = "127.0.0.2";
    std::string port;
    bool tls = false;
    std::string site = "My Board";
    std::string software = "Sys 2";
    std::string web;  // the info texts: empty ones are left zero
    std::string tel;
    std::string ssh;
    std::string sys;
    std::string dsc;

    ConfigOptions& withHost(std::string value) { host = std::move(value); return *this; }
    ConfigOptions& withTls(bool value = true) { tls = value; return *this; }
    ConfigOptions& withSite(std::string value) { site = std::move(value); return *this; }
    ConfigOptions& withSoftware(std::string value) { software = std::move(value); return *this; }
    ConfigOptions& withWeb(std::string value) { web = std::move(value); return *this; }
    ConfigOptions& withTel(std::string value) { tel = std::move(value); return *this; }
    ConfigOptions& withSsh(std::string value) { ssh = std::move(value); return *this; }
    ConfigOptions& withSys(std::string value) { sys = std::move(value); return *this; }
    ConfigOptions& withDsc(std::string value) { dsc = std::move(value); return *this; }
};

// Writes dir/ulk.cfg by running the real kolv-setup; throws HarnessError when
// it fails or the file is not 1067 bytes.
void writeConfig(const std::filesystem::path& dir, const ConfigOptions& options);

}  // namespace kolvtest
