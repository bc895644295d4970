#include "ulk_sim_options.h"

#include <cstdio>
#include <cstdlib>

#include "tool_options.h"

namespace ulksim {
namespace {

using kolvtool::Arg;
using kolvtool::ArgKind;
using kolvtool::kExitUsage;
using kolvtool::kGoOn;

constexpr long kMaxSeconds = 7L * 24 * 3600;
constexpr std::size_t kStatsKept = 29;  // what the bridge keeps of a STATS answer

constexpr const char* kUsage =
    "usage: ulk-sim [--listen ADDR] [--port N] [--tls [--cert FILE --key FILE]] [--ping SECONDS]\n"
    "               [--stats TEXT] [--drop-after SECONDS [--drop-once]] [--exit-after SECONDS]\n"
    "               [--no-echo] [--latency MS] [--quiet] [--chaos SEED [--chaos-rate N]]\n"
    "               [--help]\n"
    "A stand-in for the chat host that the bridge connects to.\n"
    "  --listen ADDR        address to listen on (default 127.0.0.2; the bridge's own\n"
    "                       listener holds the same port on localhost)\n"
    "  --port N             port (default 2323)\n"
    "  --tls                speak TLS; without --cert/--key a self-signed certificate is\n"
    "                       made in memory at start\n"
    "  --cert FILE --key FILE  PEM certificate (chain) and its private key, presented\n"
    "                       instead of a self-signed one; both or neither, and they\n"
    "                       imply --tls. Exit 2 when they cannot be used\n"
    "  --ping SECONDS       send each site SERVER~~~~~~ping~ this often after its\n"
    "                       handshake (default 30, 0 = never)\n"
    "  --stats TEXT         answer to a STATS command: SERVER~~~~~~STATS:TEXT~\n"
    "                       (default \"sites=N users=0\" with N the connected sites;\n"
    "                       the bridge keeps at most 29 characters)\n"
    "  --drop-after SECONDS close each connection this long after its handshake; a\n"
    "                       reconnecting site gets a fresh timer\n"
    "  --drop-once          with --drop-after, drop only the first connection, so the\n"
    "                       site reconnects once and then stays\n"
    "  --exit-after SECONDS close every site and exit 0 after this long\n"
    "  --no-echo            do not send chat back to the site that sent it (other sites\n"
    "                       still get it)\n"
    "  --latency MS         hold chat back this long before echoing and passing it on,\n"
    "                       like a remote host (default 0). The bridge records a packet\n"
    "                       10 ms after writing it, so quicker echoes give no LATENCY\n"
    "  --quiet              print connections only, no packets\n"
    "  --chaos SEED         inject faults on a schedule drawn from SEED (the same seed,\n"
    "                       the same schedule): stop reading for a while (with a small\n"
    "                       receive buffer), close, reset, send a line in two parts,\n"
    "                       send an over-long line, send control characters. Send\n"
    "                       Host~ulk-sim~~~~~HOSTMSG n~ to every site each second. Check\n"
    "                       every line the sites send (a partial line then waits for\n"
    "                       its line end), and print a summary at the end\n"
    "  --chaos-rate N       faults a minute with --chaos (default 6, at most 600); a\n"
    "                       fault that finds no site connected waits for one\n"
    "Options also take the form --name=VALUE.\n"
    "\n"
    "Each site's first read is taken whole as its handshake (it has no line end); the\n"
    "simulator answers SERVER~~~~~~HELLO~. After that, every line is a packet. A packet\n"
    "whose 4th field is SERVER is a command to the host and is not passed on (STATS gets\n"
    "the statistics answer); any other packet is chat: it goes back unchanged to its\n"
    "site and to every other site. A partial line left for 0.5 s is handled as it is.\n"
    "Output: one line per event, \"[hh:mm:ss] #N <- packet\" for what site N sent and\n"
    "\"#N -> packet\" for what the host itself sent it.\n"
    "\n"
    "Commands on standard input, one per line:\n"
    "  drop       close every site's connection\n"
    "  say TEXT   send TEXT to every site: as it is when it holds a ~, else as\n"
    "             Host~ulk-sim~~~~~TEXT~\n"
    "  ping       send SERVER~~~~~~ping~ to every site\n"
    "  hello      send SERVER~~~~~~HELLO~ to every site\n"
    "  sites      list the connected sites\n"
    "  quit       close every site and exit\n"
    "At end of input the simulator keeps running, so it can run in the background.\n"
    "It also ends on SIGINT or SIGTERM, as on quit.\n";

constexpr kolvtool::ArgWording kWording{"ulk-sim", kUsage, "unknown option", " (see --help)", false, false, true};

// Indexes into kOptionNames.
enum OptionId : std::size_t {
    kListen, kPort, kCert, kKey, kStats, kPing, kDropAfter, kExitAfter, kLatency, kChaos, kChaosRate,
    kTls, kDropOnce, kNoEcho, kQuiet,
};
constexpr kolvtool::OptionName kOptionNames[] = {
    {"listen", true},     {"port", true},       {"cert", true},       {"key", true},     {"stats", true},
    {"ping", true},       {"drop-after", true}, {"exit-after", true}, {"latency", true}, {"chaos", true},
    {"chaos-rate", true}, {"tls", false},       {"drop-once", false}, {"no-echo", false}, {"quiet", false},
};

struct NumberOption {
    OptionId id;
    long low;
    long high;
    long Options::*field;
};
constexpr NumberOption kNumberOptions[] = {
    {kPing, 0, kMaxSeconds, &Options::pingSeconds},
    {kDropAfter, 0, kMaxSeconds, &Options::dropAfterSeconds},
    {kExitAfter, 0, kMaxSeconds, &Options::exitAfterSeconds},
    {kLatency, 0, 60000, &Options::latencyMs},
    {kChaos, 0, 2147483647, &Options::chaosSeed},
    {kChaosRate, 1, 600, &Options::chaosRate},
};

Options gOptions;

bool parseNumber(const std::string& flag, const std::string& value, long low, long high, long& out) {
    char* end = nullptr;
    long n = std::strtol(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || n < low || n > high) {
        std::fprintf(stderr, "ulk-sim: %s needs a whole number from %ld to %ld, not \"%s\"\n", flag.c_str(), low, high,
                     value.c_str());
        return false;
    }
    out = n;
    return true;
}

void applySwitch(std::size_t id, Options& o) {
    if (id == kTls) o.tls = true;
    if (id == kDropOnce) o.dropOnce = true;
    if (id == kNoEcho) o.echo = false;
    if (id == kQuiet) o.quiet = true;
}

int applyStats(const std::string& value, Options& o) {
    o.statsGiven = true;
    o.statsText = value;
    if (value.size() > kStatsKept)
        std::fprintf(stderr, "ulk-sim: note: the bridge keeps only %zu characters of --stats\n", kStatsKept);
    if (value.find_first_of("~\n") == std::string::npos) return kGoOn;
    std::fprintf(stderr, "ulk-sim: --stats may not hold ~ or a line end\n");
    return kExitUsage;
}

int applyNumber(const Arg& arg, Options& o) {
    long value = 0;
    if (arg.id == kPort) {
        if (!parseNumber(arg.flag(), arg.value, 1, 65535, value)) return kExitUsage;
        o.port = std::to_string(value);
        return kGoOn;
    }
    for (const NumberOption& number : kNumberOptions) {
        if (number.id != arg.id) continue;
        if (!parseNumber(arg.flag(), arg.value, number.low, number.high, value)) return kExitUsage;
        o.*number.field = value;
        if (arg.id == kChaos) o.chaos = true;
    }
    return kGoOn;
}

int applyArg(const Arg& arg, Options& o) {
    if (arg.kind == ArgKind::Positional) return kolvtool::unknownArg(arg, kWording);
    if (!kOptionNames[arg.id].takesValue) {
        applySwitch(arg.id, o);
        return kGoOn;
    }
    // Only --stats may be empty: an empty answer is an answer.
    if (arg.value.empty() && arg.id != kStats) return kolvtool::needsValue(arg, kWording);
    switch (arg.id) {
    case kListen: o.listen = arg.value; break;
    case kCert: o.certFile = arg.value; break;
    case kKey: o.keyFile = arg.value; break;
    case kStats: return applyStats(arg.value, o);
    default: return applyNumber(arg, o);
    }
    return kGoOn;
}

}  // namespace

int parseOptions(int argc, char** argv) {
    Options& o = gOptions;
    int code = kolvtool::readArgs(argc, argv, kOptionNames, kWording, [&](const Arg& arg) { return applyArg(arg, o); });
    if (code != kGoOn) return code;
    if (o.certFile.empty() != o.keyFile.empty()) {
        std::fprintf(stderr, "ulk-sim: --cert and --key go together\n");
        return kExitUsage;
    }
    if (!o.certFile.empty()) o.tls = true;
    return kGoOn;
}

const Options& options() { return gOptions; }

}  // namespace ulksim
