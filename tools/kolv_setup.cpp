// kolv-setup: writes the bridge's ulk.cfg from flags, or shows an existing one.
#include <cstdio>
#include <cstring>
#include <string>

#include "config/bridge_config.h"

namespace {

using kolv::BridgeConfig;

struct TextField {
    const char* flag;
    const char* label;
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

void usage(std::FILE* out) {
    std::fputs(
        "usage: kolv-setup --host NAME --port N [--tls] [--site TEXT] [--software TEXT]\n"
        "                  [--web TEXT] [--tel TEXT] [--ssh TEXT] [--sys TEXT] [--dsc TEXT] [PATH]\n"
        "       kolv-setup --show [PATH]\n"
        "Writes the bridge configuration (1067 bytes) to PATH, default ulk.cfg.\n"
        "Values may also be given as --flag=VALUE. Host is at most 79 characters, port 5,\n"
        "every other text 139.\n",
        out);
}

int show(const char* path) {
    BridgeConfig config{};
    if (!kolv::loadBridgeConfig(config, path)) {
        std::fprintf(stderr, "kolv-setup: %s is missing or shorter than %zu bytes\n", path, sizeof(BridgeConfig));
        return 1;
    }
    for (const TextField& f : kFields) {
        std::printf("%-9s%s\n", (std::string(f.label) + ":").c_str(), f.field(config));
        if (std::strcmp(f.label, "port") == 0) std::printf("%-9s%s\n", "tls:", config.useTls != 0 ? "yes" : "no");
    }
    return 0;
}

const TextField* findField(const std::string& flag) {
    for (const TextField& f : kFields) {
        if (flag == f.flag) return &f;
    }
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    BridgeConfig config{};
    const char* path = kolv::kConfigFileName;
    bool haveHost = false;
    bool havePort = false;
    bool showOnly = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        }
        if (arg == "--show") {
            showOnly = true;
            continue;
        }
        if (arg == "--tls") {
            config.useTls = 1;
            continue;
        }
        if (arg.rfind("--", 0) != 0) {
            path = argv[i];
            continue;
        }
        std::string flag = arg;
        std::string value;
        std::size_t eq = arg.find('=');
        if (eq != std::string::npos) {
            flag = arg.substr(0, eq);
            value = arg.substr(eq + 1);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            std::fprintf(stderr, "kolv-setup: %s needs a value\n", arg.c_str());
            return 2;
        }
        const TextField* field = findField(flag);
        if (field == nullptr) {
            std::fprintf(stderr, "kolv-setup: unknown option %s\n", flag.c_str());
            usage(stderr);
            return 2;
        }
        if (value.size() > field->size - 1) {
            std::fprintf(stderr, "kolv-setup: %s is %zu characters long; the field holds at most %zu\n",
                         field->flag, value.size(), field->size - 1);
            return 2;
        }
        std::memcpy(field->field(config), value.c_str(), value.size() + 1);
        if (flag == "--host") haveHost = true;
        if (flag == "--port") havePort = true;
    }
    if (showOnly) return show(path);
    if (!haveHost || !havePort) {
        std::fprintf(stderr, "kolv-setup: --host and --port are required\n");
        usage(stderr);
        return 2;
    }
    std::FILE* file = std::fopen(path, "wb");
    if (file == nullptr) {
        std::perror(path);
        return 1;
    }
    bool ok = std::fwrite(&config, sizeof config, 1, file) == 1;
    ok = std::fclose(file) == 0 && ok;
    if (!ok) {
        std::perror(path);
        return 1;
    }
    std::printf("kolv-setup: wrote %s (%zu bytes)\n", path, sizeof config);
    return 0;
}
