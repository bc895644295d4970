#include "setup_pin_host.h"

#include <cctype>
#include <cstdio>
#include <string>

#include "host/host_trust.h"
#include "platform/socket.h"
#include "platform/system.h"
#include "setup_host_certificate.h"
#include "setup_pin_list.h"

namespace kolvsetup {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;

// Only "y" or "yes", in any case, is a yes; the end of input is a no.
bool userSaysYes() {
    std::printf("Trust this host and add its pin to %s? [y/N] ", kolv::kPinFileName);
    std::fflush(stdout);
    char typed[64];
    if (std::fgets(typed, sizeof typed, stdin) == nullptr) {
        std::printf("\n");
        return false;
    }
    std::string answer;
    for (const char* c = typed; *c != '\0'; ++c) {
        if (std::isspace(static_cast<unsigned char>(*c)) == 0)
            answer += static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
    }
    return answer == "y" || answer == "yes";
}

}  // namespace

int pinHost(const kolv::BridgeConfig& config, bool assumeYes) {
    kolv::ignoreBrokenPipe();
    if (kolv::socketStartup() != 0) {
        std::fprintf(stderr, "kolv-setup: sockets are not available\n");
        return kExitFailed;
    }
    kolv::CertificateFacts facts;
    if (!fetchHostCertificate(config, facts)) return kExitFailed;
    for (const std::string& line : kolv::certificateLines(facts)) std::printf("%s\n", line.c_str());
    if (!assumeYes && !userSaysYes()) {
        std::printf("Nothing written.\n");
        return kExitFailed;
    }
    const std::string pin = kolv::formatPin(facts.pin);
    const PinAdded added = addPin(facts.pin);
    if (added == PinAdded::Added) std::printf("Added %s to %s.\n", pin.c_str(), kolv::kPinFileName);
    if (added == PinAdded::AlreadyListed) std::printf("%s is already in %s.\n", pin.c_str(), kolv::kPinFileName);
    return added == PinAdded::Failed ? kExitFailed : kExitOk;
}

}  // namespace kolvsetup
