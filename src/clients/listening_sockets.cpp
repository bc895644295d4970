#include "clients/listening_sockets.h"

#include <climits>

#include "output/console_line.h"
#include "output/report.h"
#include "platform/net_headers.h"
#include "platform/resolve.h"

namespace kolv {
namespace {

enum class Call { Socket, Bind, Listen };

// The call that failed on one address, and why.
struct Failure {
    Call call = Call::Socket;
    int error = 0;
    char address[64] = "";
};

void reportFailure(const Failure& failure) {
    switch (failure.call) {
        case Call::Socket:
            printBareText("client socket failed with error: %d\n", failure.error);
            break;
        case Call::Bind:
            reportBareFormatted("client bind failed with error: %d", failure.error);
            break;
        case Call::Listen:
            reportBareFormatted("client listen failed with error: %d", failure.error);
            break;
    }
}

void reportRetry(const char* port, const char* address, int retryWaitSeconds) {
    reportFormatted("Clients cannot connect: port %s is not open on %s. Trying again every %d s.", port, address,
                    retryWaitSeconds);
}

// A listening socket on entry's address, or the invalid socket with failure set.
SocketHandle listenOn(const addrinfo* entry, Failure& failure) {
    failure = Failure{};
    numericAddress(entry, failure.address, sizeof failure.address);
    UniqueSocket listening(openSocket(entry->ai_family, entry->ai_socktype, entry->ai_protocol));
    failure.error = lastSocketError();
    if (listening.get() == kInvalidSocket) return kInvalidSocket;
    setReuseAddress(listening.get());
    failure.call = Call::Bind;
    if (bindSocket(listening.get(), entry->ai_addr, entry->ai_addrlen) != 0) {
        failure.error = lastSocketError();
        return kInvalidSocket;
    }
    failure.call = Call::Listen;
    if (listenSocket(listening.get(), INT_MAX) != 0) {
        failure.error = lastSocketError();
        return kInvalidSocket;
    }
    return listening.release();
}

// One listening socket per distinct address of list; false at the first
// address that failed for a reason other than its absence, in failure.
bool listenOnEach(const addrinfo* list, ListeningSockets& sockets, std::vector<Failure>& absent, Failure& failure) {
    for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
        if (listedBefore(list, entry)) continue;
        UniqueSocket listening(listenOn(entry, failure));
        if (listening.get() != kInvalidSocket) {
            sockets.push_back(std::move(listening));
        } else if (isAddressUnavailable(failure.error)) {
            absent.push_back(failure);
        } else {
            return false;
        }
    }
    if (!sockets.empty()) return true;
    failure = absent.front();  // no address at all: as a failure of the first
    return false;
}

}  // namespace

bool openListeningSockets(const char* port, int retryWaitSeconds, bool report, ListeningSockets& sockets) {
    sockets.clear();
    AddressList list;
    int resolved = resolveStream("localhost", port, true, list);
    if (resolved != 0) {
        if (report) {
            printBareText("getaddrinfo (clients) failed with error: %d\n", resolved);
            reportRetry(port, "localhost", retryWaitSeconds);
        }
        return false;
    }
    std::vector<Failure> absent;
    Failure failure;
    if (!listenOnEach(list.get(), sockets, absent, failure)) {
        sockets.clear();  // a port had on some addresses only is not had
        if (report) {
            reportFailure(failure);
            reportRetry(port, failure.address, retryWaitSeconds);
        }
        return false;
    }
    for (const Failure& skipped : absent) {
        reportFormatted("Not listening for clients on %s: the address is not available here (error %d).",
                        skipped.address, skipped.error);
    }
    return true;
}

}  // namespace kolv
