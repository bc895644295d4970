// kolv-setup: writes the bridge's ulk.cfg from flags, or shows an existing one.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "config/bridge_config.h"
#include "tool_options.h"

namespace {

using kolv::BridgeConfig;
using kolvtool::Arg;
using kolvtool::ArgKind;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;

struct TextField {
    const char* flag;
    const char* label;  // also the option's name
    char* (*field)(BridgeConfig&);
    std::size_t size;
};

#define KOLV_FIELD(flag, label, member)                                                        \
    TextField {                                                                                \
        flag, label, [](BridgeConfig& c) -> char* { return c.member; }, sizeof(BridgeConfig::member) \
    }

const TextField kFields[] = {
    KOLV_FIELD("--host", "host", host),         KOLV_FIELD("--port", "port", port),
    KOLV_FIELD("--site", "site", siteName),     KOLV_FIELD("--software", "software", software),
    KOLV_FIELD("--web", "web", infoWeb),        KOLV_FIELD("--tel", "tel", infoTel),
    KOLV_FIELD("--ssh", "ssh", infoSsh),        KOLV_FIELD("--sys", "sys", infoSys),
    KOLV_FIELD("--dsc", "dsc", infoDsc),
};
#undef KOLV_FIELD

// The option table is kFields' labels, then these two.
constexpr std::size_t kTlsOption = std::size(kFields);
constexpr std::size_t kShowOption = kTlsOption + 1;

constexpr const char* kUsage =
    "usage: kolv-setup --host NAME --port N [--tls] [--site TEXT] [--software TEXT]\n"
    "                  [--web TEXT] [--tel TEXT] [--ssh TEXT] [--sys TEXT] [--dsc TEXT] [PATH]\n"
    "       kolv-setup --show [PATH]\n"
    "Writes the bridge configuration (1067 bytes) to PATH, default ulk.cfg.\n"
    "Values may also be given as --flag=VALUE. Host is at most 79 characters, port 5,\n"
    "every other text 139.\n";

constexpr kolvtool::ArgWording kWording{"kolv-setup", kUsage, "unknown option", "", true, true, false};

struct Request {
    BridgeConfig config{};
    std::string path = kolv::kConfigFileName;
    bool haveHost = false;
    bool havePort = false;
    bool showOnly = false;
};

std::vector<kolvtool::OptionName> optionNames() {
    std::vector<kolvtool::OptionName> names;
    for (const TextField& f : kFields) names.push_back({f.label, true});
    names.push_back({"tls", false});
    names.push_back({"show", false});
    return names;
}

int show(const char* path) {
    BridgeConfig config{};
    if (!kolv::loadBridgeConfig(config, path)) {
        std::fprintf(stderr, "kolv-setup: %s is missing or shorter than %zu bytes\n", path, sizeof(BridgeConfig));
        return kExitFailed;
    }
    for (const TextField& f : kFields) {
        std::printf("%-9s%s\n", (std::string(f.label) + ":").c_str(), f.field(config));
        if (std::strcmp(f.label, "port") == 0) std::printf("%-9s%s\n", "tls:", config.useTls != 0 ? "yes" : "no");
    }
    return kExitOk;
}

int setField(const TextField& field, const std::string& value, Request& request) {
    if (value.size() > field.size - 1) {
        std::fprintf(stderr, "kolv-setup: %s is %zu characters long; the field holds at most %zu\n", field.flag,
                     value.size(), field.size - 1);
        return kolvtool::kExitUsage;
    }
    std::memcpy(field.field(request.config), value.c_str(), value.size() + 1);
    if (std::strcmp(field.label, "host") == 0) request.haveHost = true;
    if (std::strcmp(field.label, "port") == 0) request.havePort = true;
    return kolvtool::kGoOn;
}

int applyArg(const Arg& arg, Request& request) {
    if (arg.kind == ArgKind::Positional) {
        request.path = arg.value;
    } else if (arg.id == kTlsOption) {
        request.config.useTls = 1;
    } else if (arg.id == kShowOption) {
        request.showOnly = true;
    } else {
        return setField(kFields[arg.id], arg.value, request);
    }
    return kolvtool::kGoOn;
}

int writeConfig(const BridgeConfig& config, const char* path) {
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

}  // namespace

int main(int argc, char** argv) {
    Request request;
    const std::vector<kolvtool::OptionName> names = optionNames();
    int parsed =
        kolvtool::readArgs(argc, argv, names, kWording, [&request](const Arg& arg) { return applyArg(arg, request); });
    if (parsed != kolvtool::kGoOn) return parsed;
    if (request.showOnly) return show(request.path.c_str());
    if (!request.haveHost || !request.havePort) {
        std::fprintf(stderr, "kolv-setup: --host and --port are required\n");
        std::fputs(kUsage, stderr);
        return kolvtool::kExitUsage;
    }
    return writeConfig(request.config, request.path.c_str());
}
