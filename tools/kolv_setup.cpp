// kolv-setup: writes the bridge's ulk.cfg from flags, or shows an existing one,
// or pins its host's certificate in ulk.pin.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "config/bridge_config.h"
#include "platform/path_probe.h"
#include "setup_pin_host.h"
#include "tool_options.h"

namespace {

using kolv::BridgeConfig;
using kolvtool::Arg;
using kolvtool::ArgKind;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;

struct TextField {
    const char* label;  // also the option's name, without "--"
    char* (*field)(BridgeConfig&);
    std::size_t size;
};

#define KOLV_FIELD(label, member) \
    TextField { label, [](BridgeConfig& c) -> char* { return c.member; }, sizeof(BridgeConfig::member) }

const TextField kFields[] = {
    KOLV_FIELD("host", host), KOLV_FIELD("port", port), KOLV_FIELD("site", siteName),
    KOLV_FIELD("software", software), KOLV_FIELD("web", infoWeb), KOLV_FIELD("tel", infoTel),
    KOLV_FIELD("ssh", infoSsh), KOLV_FIELD("sys", infoSys), KOLV_FIELD("dsc", infoDsc),
};
#undef KOLV_FIELD

// The option table is kFields' labels, then these five.
constexpr std::size_t kTlsOption = std::size(kFields);
constexpr std::size_t kShowOption = kTlsOption + 1;
constexpr std::size_t kPinHostOption = kTlsOption + 2;
constexpr std::size_t kYesOption = kTlsOption + 3;
constexpr std::size_t kForceOption = kTlsOption + 4;

constexpr const char* kUsage =
    "usage: kolv-setup --host NAME --port N [--tls] [--site TEXT] [--software TEXT]\n"
    "                  [--web TEXT] [--tel TEXT] [--ssh TEXT] [--sys TEXT] [--dsc TEXT]\n"
    "                  [--force] [PATH]\n"
    "       kolv-setup --show [PATH]\n"
    "       kolv-setup --pin-host [--yes]\n"
    "Writes the bridge configuration (1067 bytes) to PATH, default ulk.cfg.\n"
    "Values may also be given as --flag=VALUE. Host is 1 to 79 characters, port a\n"
    "number from 1 to 65535, every other text at most 139 characters; other values\n"
    "are refused. An existing PATH is replaced only with --force.\n"
    "--pin-host, a mode of its own (no other option but --yes): connects to the host\n"
    "of ./ulk.cfg with TLS, whatever its TLS flag, without checking the certificate,\n"
    "shows the certificate and asks whether to trust it; on a yes (--yes: without\n"
    "asking) adds its pin to ./ulk.pin. Check that pin with the host's operator.\n";

constexpr kolvtool::ArgWording kWording{"kolv-setup", kUsage, "unknown option", "", true, true, false};

struct Request {
    BridgeConfig config{};
    std::string path = kolv::kConfigFileName;
    bool haveHost = false;
    bool havePort = false;
    bool showOnly = false;
    bool pinHost = false;
    bool assumeYes = false;
    bool force = false;
    bool otherGiven = false;  // anything besides --pin-host and --yes
};

std::vector<kolvtool::OptionName> optionNames() {
    std::vector<kolvtool::OptionName> names;
    for (const TextField& f : kFields) names.push_back({f.label, true});
    names.push_back({"tls", false});
    names.push_back({"show", false});
    names.push_back({"pin-host", false});
    names.push_back({"yes", false});
    names.push_back({"force", false});
    return names;
}

bool loadConfig(BridgeConfig& config, const char* path) {
    if (kolv::loadBridgeConfig(config, path)) return true;
    std::fprintf(stderr, "kolv-setup: %s is missing or shorter than %zu bytes\n", path, sizeof(BridgeConfig));
    return false;
}

int show(const char* path) {
    BridgeConfig config{};
    if (!loadConfig(config, path)) return kExitFailed;
    for (const TextField& f : kFields) {
        std::printf("%-9s%s\n", (std::string(f.label) + ":").c_str(), f.field(config));
        if (std::strcmp(f.label, "port") == 0) std::printf("%-9s%s\n", "tls:", config.useTls != 0 ? "yes" : "no");
    }
    return kExitOk;
}

// The port is the host's and the local listener's: a TCP port number.
bool isPortNumber(const std::string& value) {
    if (value.empty() || value.size() > 5 || value.find_first_not_of("0123456789") != std::string::npos) return false;
    const long number = std::stol(value);
    return number >= 1 && number <= 65535;
}

// Says why value cannot go into field; false when it can.
bool refused(const TextField& field, const std::string& value) {
    const bool isPort = std::strcmp(field.label, "port") == 0;
    if (isPort && !isPortNumber(value)) {
        std::fprintf(stderr, "kolv-setup: --port takes a number from 1 to 65535, digits only; \"%s\" is not one\n",
                     value.c_str());
    } else if (std::strcmp(field.label, "host") == 0 && value.empty()) {
        std::fprintf(stderr, "kolv-setup: --host must not be empty\n");
    } else if (value.size() > field.size - 1) {
        std::fprintf(stderr, "kolv-setup: --%s is %zu characters long; the field holds at most %zu\n",
                     field.label, value.size(), field.size - 1);
    } else {
        return false;
    }
    return true;
}

int setField(const TextField& field, const std::string& value, Request& request) {
    if (refused(field, value)) return kolvtool::kExitUsage;
    std::memcpy(field.field(request.config), value.c_str(), value.size() + 1);
    if (std::strcmp(field.label, "host") == 0) request.haveHost = true;
    if (std::strcmp(field.label, "port") == 0) request.havePort = true;
    return kolvtool::kGoOn;
}

int applyArg(const Arg& arg, Request& request) {
    request.otherGiven = request.otherGiven || arg.kind == ArgKind::Positional || arg.id < kPinHostOption ||
                         arg.id == kForceOption;
    if (arg.kind == ArgKind::Positional) {
        request.path = arg.value;
    } else if (arg.id == kTlsOption) {
        request.config.useTls = 1;
    } else if (arg.id == kShowOption) {
        request.showOnly = true;
    } else if (arg.id == kPinHostOption) {
        request.pinHost = true;
    } else if (arg.id == kYesOption) {
        request.assumeYes = true;
    } else if (arg.id == kForceOption) {
        request.force = true;
    } else {
        return setField(kFields[arg.id], arg.value, request);
    }
    return kolvtool::kGoOn;
}

// Anything standing at path counts: a file, a folder, a link to nothing. A
// path that cannot be looked at is left to the write, which says why.
bool pathTaken(const char* path) {
    const kolv::PathKind kind = kolv::probePath(path).kind;
    return kind != kolv::PathKind::Absent && kind != kolv::PathKind::Unreachable;
}

int writeConfig(const BridgeConfig& config, const char* path, bool force) {
    if (!force && pathTaken(path)) {
        std::fprintf(stderr, "kolv-setup: %s exists; it is replaced only with --force\n", path);
        return kolvtool::kExitUsage;
    }
    std::FILE* file = std::fopen(path, "wb");
    if (file == nullptr) {
        std::perror(path);
        return kExitFailed;
    }
    bool ok = std::fwrite(&config, sizeof config, 1, file) == 1;
    ok = std::fclose(file) == 0 && ok;
    if (!ok) {
        std::perror(path);
        return kExitFailed;
    }
    std::printf("kolv-setup: wrote %s (%zu bytes)\n", path, sizeof config);
    return kExitOk;
}

int pinHostMode(const Request& request) {
    if (!request.pinHost || request.otherGiven) {
        std::fprintf(stderr, "kolv-setup: --pin-host takes no other option but --yes, and --yes needs it\n");
        std::fputs(kUsage, stderr);
        return kolvtool::kExitUsage;
    }
    BridgeConfig config{};
    if (!loadConfig(config, kolv::kConfigFileName)) return kExitFailed;
    return kolvsetup::pinHost(config, request.assumeYes);
}

}  // namespace

int main(int argc, char** argv) {
    Request request;
    const std::vector<kolvtool::OptionName> names = optionNames();
    int parsed =
        kolvtool::readArgs(argc, argv, names, kWording, [&request](const Arg& arg) { return applyArg(arg, request); });
    if (parsed != kolvtool::kGoOn) return parsed;
    if (request.pinHost || request.assumeYes) return pinHostMode(request);
    if (request.showOnly) return show(request.path.c_str());
    if (!request.haveHost || !request.havePort) {
        std::fprintf(stderr, "kolv-setup: --host and --port are required\n");
        std::fputs(kUsage, stderr);
        return kolvtool::kExitUsage;
    }
    return writeConfig(request.config, request.path.c_str(), request.force);
}
