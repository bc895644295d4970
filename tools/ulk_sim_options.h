// The simulator's command line.
#pragma once

#include <string>

namespace ulksim {

struct Options {
    std::string listen = "127.0.0.2";
    std::string port = "2323";
    bool tls = false;
    std::string certFile;
    std::string keyFile;
    long pingSeconds = 30;
    bool statsGiven = false;
    std::string statsText;
    long dropAfterSeconds = 0;
    bool dropOnce = false;
    long exitAfterSeconds = 0;
    bool echo = true;
    long latencyMs = 0;
    bool quiet = false;
    bool chaos = false;
    long chaosSeed = 0;
    long chaosRate = 6;  // faults a minute
};

// Fills options(). Returns kolvtool::kGoOn, else the exit code (0 after --help).
int parseOptions(int argc, char** argv);

// Set by parseOptions before any thread starts; not changed after.
const Options& options();

}  // namespace ulksim
