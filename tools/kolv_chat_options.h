// kolv-chat's command line.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kolvchat {

struct Options {
    std::string host = "localhost";
    std::string port;  // empty: the port text of ./ulk.cfg
    std::string user;  // --user, else the login name
    std::string site = "Local";
    std::string to;
    std::vector<std::string> says;
    long long waitMs = 1500;
    bool logoff = true;
    bool raw = false;
    int load = 0;  // --load: this many clients instead of one user
    long long seed = 1;
    long long durationSeconds = 0;  // 0: until SIGINT or SIGTERM
};

// "~" and line ends would break the packet's framing.
bool fitsInField(std::string_view text);

// Fills o, the port from ./ulk.cfg when --port is not given. Returns
// kolvtool::kGoOn, else the exit code (0 after --help).
int parseOptions(int argc, char** argv, Options& o);

}  // namespace kolvchat
