#include "host/receive_loop.h"

#include <openssl/err.h>

#include <cstring>

#include "config/site_settings.h"
#include "host/handle_host_data.h"
#include "host/host_session.h"
#include "link/host_link_io.h"
#include "link/lifecycle.h"
#include "output/append_log.h"
#include "output/console_line.h"
#include "output/report.h"
#include "platform/system.h"

namespace kolv {
namespace {

void reportReadFailure(long result, int errorCode) {
    if (result == 0) {
        reportFormatted("Connection closed with error: %d", errorCode);
    } else {
        reportFormatted("recv failed with error: %d", errorCode);
    }
    if (hostLinkUsesTls()) {
        char message[512];
        ERR_error_string_n(ERR_get_error(), message, sizeof message);
        reportLine(message);
        ERR_clear_error();
    }
    hostSession().reconnectPending = true;
}

}  // namespace

bool receiveOnce(HostReadCarry& carry, const BridgeConfig& config) {
    char buffer[kReceiveBufferSize];
    sleepMs(1);
    const std::size_t carried = std::strlen(carry.text);
    if (carried > 0) {
        std::memcpy(buffer, carry.text, carried);
        if (verboseLogging()) {
            printStampedText("partial packet recovered: %s\r\n", carry.text);
            appendLog("partial packet recovered:");
            appendLog(carry.text);
        }
        carry.text[0] = '\0';
    }
    // Room for the carried text, the new bytes and the terminator.
    int errorCode = 0;
    long got = readHostLink(buffer + carried, sizeof buffer - 1 - carried, errorCode);
    if (got <= 0) {
        if (!stopRequested()) reportReadFailure(got, errorCode);  // a stop is no loss
        return false;
    }
    // The text ends behind the new bytes (or at an earlier zero byte in them).
    buffer[carried + static_cast<std::size_t>(got)] = '\0';
    // The host has read the handshake and talks: held relays may go, and the link is made.
    if (std::memchr(buffer + carried, '\n', static_cast<std::size_t>(got)) != nullptr) {
        releaseHeldWrites();
        markLinkMade(hostSession());
    }
    handleHostData(carry, config, buffer);
    return true;
}

void receiveLoop(const BridgeConfig& config) {
    HostReadCarry carry;
    while (receiveOnce(carry, config)) {
    }
}

}  // namespace kolv
