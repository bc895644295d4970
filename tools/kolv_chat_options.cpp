#include "kolv_chat_options.h"

#include <cstdio>
#include <cstdlib>

#include "config/bridge_config.h"
#include "tool_options.h"

namespace kolvchat {
namespace {

using kolvtool::Arg;
using kolvtool::ArgKind;
using kolvtool::kExitUsage;
using kolvtool::kGoOn;

constexpr std::size_t kMaxUserName = 29;  // what the bridge keeps of a name
constexpr long long kMaxWaitMs = 3600LL * 1000;
constexpr long long kMaxLoad = 50;  // the bridge's client slots
constexpr long long kMaxSeed = 999999999999LL;
constexpr long long kMaxDurationSeconds = 7LL * 24 * 3600;

constexpr const char* kUsage =
    "usage: kolv-chat [--port N] [--host NAME] [--user NAME] [--site TEXT] [--to USER]\n"
    "                 [--say TEXT]... [--wait MS] [--no-logoff] [--raw]\n"
    "       kolv-chat --load N [--seed N] [--duration SECONDS] [--port N] [--host NAME]\n"
    "                 [--site TEXT]\n"
    "Connects to the bridge as a local chat client.\n"
    "  --port N      bridge port (default: the port of ./ulk.cfg)\n"
    "  --host NAME   bridge address (default localhost)\n"
    "  --user NAME   user name, at most 29 characters (default: the login name or guest)\n"
    "  --site TEXT   site field of every packet (default Local)\n"
    "  --to USER     addressee (default empty: everyone)\n"
    "  --say TEXT    send TEXT; may be repeated. Without --say, each line typed is sent\n"
    "                until /quit or end of input.\n"
    "  --wait MS     after the last --say, how long to print what arrives (default 1500)\n"
    "  --no-logoff   leave without the logoff packet\n"
    "  --raw         print received lines exactly as received\n"
    "  --load N      N clients at a time (1 to 50), each followed by another when it\n"
    "                leaves: each joins, sends numbered packets (body \"NAME SEQ\") in\n"
    "                random chunks and at random rates, maybe reads slowly, and leaves\n"
    "                by close, by reset or after LOGOFF, sometimes part way through a\n"
    "                packet; it checks every line it gets. A summary at the end: sent,\n"
    "                acknowledged by the host's echo, lost, out of order, duplicates,\n"
    "                host messages\n"
    "  --seed N      the clients' plans under --load (default 1; the same seed, the\n"
    "                same plans)\n"
    "  --duration SECONDS  how long --load runs (default 0: until SIGINT or SIGTERM)\n"
    "Values may also be given as --flag=VALUE. Exit code 0, 1 when the bridge cannot be\n"
    "reached or the connection is lost, 2 for a usage error.\n";

constexpr kolvtool::ArgWording kWording{"kolv-chat", kUsage, "unknown argument", "", true, false, false};

// Indexes into kOptionNames.
enum OptionId : std::size_t {
    kPort, kHost, kUser, kSite, kTo, kSay, kWait, kNoLogoff, kRaw, kLoad, kSeed, kDuration,
};
constexpr kolvtool::OptionName kOptionNames[] = {
    {"port", true}, {"host", true}, {"user", true},       {"site", true}, {"to", true},   {"say", true},
    {"wait", true}, {"no-logoff", false}, {"raw", false}, {"load", true}, {"seed", true}, {"duration", true},
};

struct CountOption {
    OptionId id;
    long long low;
    long long high;
    const char* unit;
};
constexpr CountOption kCountOptions[] = {
    {kWait, 0, kMaxWaitMs, "milliseconds"},
    {kLoad, 1, kMaxLoad, "a number of clients"},
    {kSeed, 0, kMaxSeed, "a number"},
    {kDuration, 0, kMaxDurationSeconds, "seconds"},
};

std::string defaultUser() {
    for (const char* name : {"USER", "LOGNAME", "USERNAME"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') return value;
    }
    return "guest";
}

bool parseCount(const std::string& text, long long limit, long long& value) {
    if (text.empty() || text.size() > 12) return false;
    long long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    if (v > limit) return false;
    value = v;
    return true;
}

bool usablePort(const std::string& text) {
    long long port = 0;
    return parseCount(text, 65535, port) && port != 0;
}

int applyCount(const Arg& arg, Options& o) {
    for (const CountOption& count : kCountOptions) {
        long long value = 0;
        if (count.id != arg.id) continue;
        if (!parseCount(arg.value, count.high, value) || value < count.low) {
            std::fprintf(stderr, "kolv-chat: %s wants %s from %lld to %lld, not \"%s\"\n", arg.flag().c_str(),
                         count.unit, count.low, count.high, arg.value.c_str());
            return kExitUsage;
        }
        if (arg.id == kWait) o.waitMs = value;
        if (arg.id == kLoad) o.load = static_cast<int>(value);
        if (arg.id == kSeed) o.seed = value;
        if (arg.id == kDuration) o.durationSeconds = value;
    }
    return kGoOn;
}

int applyOption(const Arg& arg, Options& o) {
    const std::string& value = arg.value;
    switch (arg.id) {
    case kPort:
        if (!usablePort(value)) {
            std::fprintf(stderr, "kolv-chat: --port wants a number from 1 to 65535, not \"%s\"\n", value.c_str());
            return kExitUsage;
        }
        o.port = value;
        break;
    case kHost: o.host = value; break;
    case kUser: o.user = value; break;
    case kSite: o.site = value; break;
    case kTo: o.to = value; break;
    case kSay: o.says.push_back(value); break;
    case kNoLogoff: o.logoff = false; break;
    case kRaw: o.raw = true; break;
    default: return applyCount(arg, o);
    }
    return kGoOn;
}

int checkFields(const Options& o) {
    if (o.user.empty() || o.user.size() > kMaxUserName || !fitsInField(o.user)) {
        std::fprintf(stderr,
                     "kolv-chat: the user name \"%s\" must be 1 to %zu characters without \"~\" or line ends"
                     " (use --user)\n",
                     o.user.c_str(), kMaxUserName);
        return kExitUsage;
    }
    if (!fitsInField(o.site) || !fitsInField(o.to)) {
        std::fprintf(stderr, "kolv-chat: --site and --to cannot hold \"~\" or line ends\n");
        return kExitUsage;
    }
    if (o.load > 0 && !o.says.empty()) {
        std::fprintf(stderr, "kolv-chat: --load and --say do not go together\n");
        return kExitUsage;
    }
    for (const std::string& say : o.says) {
        if (!fitsInField(say)) {
            std::fprintf(stderr, "kolv-chat: --say text cannot hold \"~\" or line ends: %s\n", say.c_str());
            return kExitUsage;
        }
    }
    return kGoOn;
}

int portFromConfig(Options& o) {
    kolv::BridgeConfig config{};
    if (!kolv::loadBridgeConfig(config)) {
        std::fprintf(stderr, "kolv-chat: no --port given and ./%s is missing or too short\n", kolv::kConfigFileName);
        return kExitUsage;
    }
    if (!usablePort(config.port)) {
        std::fprintf(stderr, "kolv-chat: ./%s holds no usable port (\"%s\"); use --port\n", kolv::kConfigFileName,
                     config.port);
        return kExitUsage;
    }
    o.port = config.port;
    return kGoOn;
}

}  // namespace

int parseOptions(int argc, char** argv, Options& o) {
    o.user = defaultUser();
    int code = kolvtool::readArgs(argc, argv, kOptionNames, kWording, [&o](const Arg& arg) {
        return arg.kind == ArgKind::Positional ? kolvtool::unknownArg(arg, kWording) : applyOption(arg, o);
    });
    if (code != kGoOn) return code;
    code = checkFields(o);
    if (code != kGoOn || !o.port.empty()) return code;
    return portFromConfig(o);
}

bool fitsInField(std::string_view text) { return text.find_first_of("~\r\n") == std::string_view::npos; }

}  // namespace kolvchat
