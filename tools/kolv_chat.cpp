// kolv-chat: a small local chat client for the bridge, for trying it by hand
// and for scripts. It sends packets as one user and prints what comes back.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include "kolv_chat_options.h"
#include "kolv_chat_show.h"
#include "kolv_load.h"
#include "packet/packet_text.h"
#include "platform/socket.h"
#include "platform/system.h"
#include "platform/resolve.h"
#include "tool_net.h"
#include "tool_options.h"

namespace {

using kolv::SocketHandle;
using kolvchat::Options;
using Clock = std::chrono::steady_clock;

constexpr int kExitOk = 0;
constexpr int kExitNoLink = 1;

constexpr std::size_t kMaxPacketLength = 512;    // formatPacket cuts anything longer
constexpr std::size_t kMaxCarry = 64 * 1024;     // a "line" this long without "\n" is shown as it is
constexpr int kSendTimeoutMs = 5000;
constexpr int kSayGapMs = 20;
constexpr int kReadPollMs = 100;
constexpr int kLeaveGraceMs = 1000;              // for the bridge to close its side after ours

struct Session {
    SocketHandle socket = kolv::kInvalidSocket;
    bool raw = false;
    std::atomic<bool> leaving{false};  // we are ending: the end of the stream is expected
    std::atomic<bool> stop{false};
    std::atomic<bool> readerDone{false};
};

std::string errorText(int code) { return std::system_category().message(code); }

SocketHandle connectToBridge(const std::string& host, const std::string& port) {
    kolv::AddressList list;
    int resolved = kolv::resolveStream(host.c_str(), port.c_str(), false, list);
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
            kolvchat::showLine(session.raw, std::string_view(carry).substr(start, end + 1 - start));
            start = end + 1;
        }
        carry.erase(0, start);
        if (carry.size() > kMaxCarry) {
            kolvchat::showLine(session.raw, carry);
            carry.clear();
        }
    }
    if (!carry.empty()) kolvchat::showLine(session.raw, carry);
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
        if (!kolvchat::fitsInField(line)) {
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
    int parsed = kolvchat::parseOptions(argc, argv, options);
    if (parsed != kolvtool::kGoOn) return parsed;

    int started = kolv::socketStartup();
    if (started != 0) {
        std::fprintf(stderr, "kolv-chat: sockets start-up failed: %s\n", errorText(started).c_str());
        return kExitNoLink;
    }
    if (options.load > 0) {
        int code = kolvload::runLoad(options);
        kolv::socketCleanup();
        return code;
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
