// kolv-chat: a small local chat client for the bridge, for trying it by hand
// and for scripts. It sends packets as one user and prints what comes back.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "app/bridge_config.h"
#include "output/console_line.h"
#include "output/console_lock.h"
#include "output/print_piped.h"
#include "packet/format_packet.h"
#include "packet/split_fields.h"
#include "platform/console.h"
#include "platform/net_headers.h"
#include "platform/socket.h"
#include "platform/system.h"
#include "tool_net.h"
#include "tool_options.h"

namespace {

using kolv::SocketHandle;
using kolvtool::Arg;
using kolvtool::ArgKind;
using kolvtool::kExitUsage;
using kolvtool::kGoOn;
using Clock = std::chrono::steady_clock;

constexpr int kExitOk = 0;
constexpr int kExitNoLink = 1;

constexpr std::size_t kMaxUserName = 29;        // what the bridge keeps of a name
constexpr std::size_t kMaxPacketLength = 512;    // formatPacket cuts anything longer
constexpr std::size_t kMaxCarry = 64 * 1024;     // a "line" this long without "\n" is shown as it is
constexpr int kSendTimeoutMs = 5000;
constexpr int kSayGapMs = 20;
constexpr int kReadPollMs = 100;
constexpr int kLeaveGraceMs = 1000;              // for the bridge to close its side after ours
constexpr long long kMaxWaitMs = 3600LL * 1000;

struct Options {
    std::string host = "localhost";
    std::string port;  // empty: the port text of ./ulk.cfg
    std::string user;
    bool userGiven = false;
    std::string site = "Local";
    std::string to;
    std::vector<std::string> says;
    long long waitMs = 1500;
    bool logoff = true;
    bool raw = false;
};

struct Session {
    SocketHandle socket = kolv::kInvalidSocket;
    bool raw = false;
    std::atomic<bool> leaving{false};  // we are ending: the end of the stream is expected
    std::atomic<bool> stop{false};
    std::atomic<bool> readerDone{false};
};

constexpr const char* kUsage =
    "usage: kolv-chat [--port N] [--host NAME] [--user NAME] [--site TEXT] [--to USER]\n"
    "                 [--say TEXT]... [--wait MS] [--no-logoff] [--raw]\n"
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
    "Values may also be given as --flag=VALUE. Exit code 0, 1 when the bridge cannot be\n"
    "reached or the connection is lost, 2 for a usage error.\n";

constexpr kolvtool::ArgWording kWording{"kolv-chat", kUsage, "unknown argument", "", true, false, false};

// Indexes into kOptionNames.
enum OptionId : std::size_t { kPort, kHost, kUser, kSite, kTo, kSay, kWait, kNoLogoff, kRaw };
constexpr kolvtool::OptionName kOptionNames[] = {
    {"port", true}, {"host", true}, {"user", true},       {"site", true}, {"to", true},
    {"say", true},  {"wait", true}, {"no-logoff", false}, {"raw", false},
};

std::string errorText(int code) { return std::system_category().message(code); }

std::string defaultUser() {
    for (const char* name : {"USER", "LOGNAME", "USERNAME"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') return value;
    }
    return "guest";
}

// "~" and line ends would break the packet's framing.
bool fitsInField(std::string_view text) { return text.find_first_of("~\r\n") == std::string_view::npos; }

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
    case kUser:
        o.user = value;
        o.userGiven = true;
        break;
    case kSite: o.site = value; break;
    case kTo: o.to = value; break;
    case kSay: o.says.push_back(value); break;
    case kWait:
        if (!parseCount(value, kMaxWaitMs, o.waitMs)) {
            std::fprintf(stderr, "kolv-chat: --wait wants milliseconds from 0 to %lld, not \"%s\"\n", kMaxWaitMs,
                         value.c_str());
            return kExitUsage;
        }
        break;
    case kNoLogoff: o.logoff = false; break;
    case kRaw: o.raw = true; break;
    default: break;
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

// Returns kGoOn, else the exit code.
int parseOptions(int argc, char** argv, Options& o) {
    int code = kolvtool::readArgs(argc, argv, kOptionNames, kWording, [&o](const Arg& arg) {
        return arg.kind == ArgKind::Positional ? kolvtool::unknownArg(arg, kWording) : applyOption(arg, o);
    });
    if (code != kGoOn) return code;
    if (!o.userGiven) o.user = defaultUser();
    code = checkFields(o);
    if (code != kGoOn || !o.port.empty()) return code;
    return portFromConfig(o);
}

SocketHandle connectToBridge(const std::string& host, const std::string& port) {
    kolvtool::AddressList list;
    int resolved = kolvtool::lookUpTcp(host, port, false, list);
    if (resolved != 0) {
        std::fprintf(stderr, "kolv-chat: cannot connect to %s:%s: the name does not resolve (error %d)\n",
                     host.c_str(), port.c_str(), resolved);
        return kolv::kInvalidSocket;
    }
    int error = 0;
    // "localhost" may name both an IPv6 and an IPv4 address; the bridge listens on one.
    SocketHandle s = kolvtool::firstUsableSocket(list.get(), [](SocketHandle candidate, const addrinfo& a) {
        return kolv::connectSocket(candidate, a.ai_addr, a.ai_addrlen) == 0;
    }, error);
    if (s == kolv::kInvalidSocket) {
        std::fprintf(stderr, "kolv-chat: cannot connect to %s:%s: %s\n", host.c_str(), port.c_str(),
                     errorText(error).c_str());
    }
    return s;
}

bool sendAll(SocketHandle s, const char* data, std::size_t length) {
    while (length > 0) {
        long n = kolv::socketSend(s, data, length);
        if (n <= 0) return false;
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

bool packetFits(const Options& o, const std::string& body) {
    // Seven "~" and the "\n" besides the fields.
    return o.user.size() + o.site.size() + o.to.size() + body.size() + 8 <= kMaxPacketLength;
}

bool sendPacket(const Session& session, const Options& o, const std::string& to, const std::string& body) {
    char packet[kolv::kPacketBufferSize];
    kolv::formatPacket(packet, o.user.c_str(), o.site.c_str(), "", to.c_str(), "", "", body.c_str());
    if (sendAll(session.socket, packet, std::char_traits<char>::length(packet))) return true;
    std::fprintf(stderr, "kolv-chat: sending to the bridge failed: %s\n",
                 errorText(kolv::lastSocketError()).c_str());
    return false;
}

void showRendered(std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    // Texts are zero-terminated: a zero byte ends what is shown.
    std::string text(line.substr(0, line.find('\0')));
    std::vector<std::string> fields = kolv::splitFields(text, '~');
    std::lock_guard<std::recursive_mutex> lock(kolv::consoleMutex());
    if (fields.size() < 7) {
        kolv::plainLine(text.c_str());
        return;
    }
    const std::string& from = fields[0];
    const std::string& body = fields[6];
    if (from == "SERVER" && fields[3] == "CLIENT") {
        if (body.compare(0, 8, "LATENCY:") == 0) {
            kolv::consoleRaw("* link latency %s ms\n", body.c_str() + 8);
            return;
        }
        if (body == "RECONNECT") {
            kolv::plainLine("* the bridge reconnected to the host");
            return;
        }
    }
    kolv::consoleRaw("%s: ", from.c_str());
    kolv::printPiped(body.c_str());
    kolv::printPiped("|07");
    kolv::plainLine("");
}

void showLine(const Session& session, std::string_view line) {
    if (session.raw) {
        std::lock_guard<std::recursive_mutex> lock(kolv::consoleMutex());
        kolv::consoleWrite(line.data(), line.size());
        return;
    }
    showRendered(line);
}

// Prints every line that arrives. A connection that ends before we leave
// ends the process: nothing more can be sent or received.
void readerLoop(Session& session) {
    std::string carry;
    char buffer[4096];
    bool lost = false;
    int lostError = 0;
    while (!session.stop.load()) {
        int ready = kolv::waitSocket(session.socket, kolv::WaitFor::Read, kReadPollMs);
        if (ready == 0) continue;
        long n = ready < 0 ? -1 : kolv::socketRecv(session.socket, buffer, sizeof buffer);
        if (n <= 0) {
            lost = true;
            lostError = n < 0 ? kolv::lastSocketError() : 0;
            break;
        }
        carry.append(buffer, static_cast<std::size_t>(n));
        std::size_t start = 0;
        for (std::size_t end = carry.find('\n'); end != std::string::npos; end = carry.find('\n', start)) {
            showLine(session, std::string_view(carry).substr(start, end + 1 - start));
            start = end + 1;
        }
        carry.erase(0, start);
        if (carry.size() > kMaxCarry) {
            showLine(session, carry);
            carry.clear();
        }
    }
    if (!carry.empty()) showLine(session, carry);
    if (lost && !session.leaving.load()) {
        if (lostError == 0) {
            std::fprintf(stderr, "kolv-chat: the bridge closed the connection\n");
        } else {
            std::fprintf(stderr, "kolv-chat: connection to the bridge lost: %s\n", errorText(lostError).c_str());
        }
        kolv::exitProcess(kExitNoLink);
    }
    session.readerDone.store(true);
}

void sleepUntil(Clock::time_point deadline, const Session& session) {
    while (!session.readerDone.load()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return;
        kolv::sleepMs(left < 10 ? left : 10);
    }
}

int runScripted(const Session& session, const Options& o) {
    for (std::size_t i = 0; i < o.says.size(); ++i) {
        if (i > 0) kolv::sleepMs(kSayGapMs);
        if (!packetFits(o, o.says[i])) {
            std::fprintf(stderr, "kolv-chat: packet longer than %zu characters not sent: %s\n", kMaxPacketLength,
                         o.says[i].c_str());
            continue;
        }
        if (!sendPacket(session, o, o.to, o.says[i])) return kExitNoLink;
    }
    sleepUntil(Clock::now() + std::chrono::milliseconds(o.waitMs), session);
    return kExitOk;
}

int runInteractive(const Session& session, const Options& o) {
    std::fprintf(stderr, "kolv-chat: connected to %s:%s as %s; type /quit to leave\n", o.host.c_str(),
                 o.port.c_str(), o.user.c_str());
    std::string line;
    while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line == "/quit") break;
        if (line.empty()) continue;
        if (!fitsInField(line)) {
            std::fprintf(stderr, "kolv-chat: \"~\" cannot be sent; line not sent\n");
            continue;
        }
        if (!packetFits(o, line)) {
            std::fprintf(stderr, "kolv-chat: line too long for one packet (%zu characters at most); not sent\n",
                         kMaxPacketLength);
            continue;
        }
        if (!sendPacket(session, o, o.to, line)) return kExitNoLink;
    }
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    kolv::ignoreBrokenPipe();
    Options options;
    int parsed = parseOptions(argc, argv, options);
    if (parsed != kGoOn) return parsed;

    int started = kolv::socketStartup();
    if (started != 0) {
        std::fprintf(stderr, "kolv-chat: sockets start-up failed: %s\n", errorText(started).c_str());
        return kExitNoLink;
    }
    Session session;
    session.raw = options.raw;
    session.socket = connectToBridge(options.host, options.port);
    if (session.socket == kolv::kInvalidSocket) {
        kolv::socketCleanup();
        return kExitNoLink;
    }
    // A bridge that stops reading must not hold us forever.
    kolv::setSendTimeout(session.socket, kSendTimeoutMs);

    std::thread reader(readerLoop, std::ref(session));
    int code = options.says.empty() ? runInteractive(session, options) : runScripted(session, options);

    session.leaving.store(true);
    if (code == kExitOk && options.logoff && !sendPacket(session, options, "", "LOGOFF")) code = kExitNoLink;
    // Our end of stream lets the bridge finish with this client and close its side.
    kolv::shutdownSend(session.socket);
    sleepUntil(Clock::now() + std::chrono::milliseconds(kLeaveGraceMs), session);
    session.stop.store(true);
    reader.join();
    kolv::closeSocket(session.socket);
    kolv::socketCleanup();
    return code;
}
