#include "setup_pin_list.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace kolvsetup {
namespace {

// Line by line, so that a faulty line elsewhere hides no match.
bool lists(const std::string& text, const kolv::PinDigest& pin) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        kolv::TrustPolicy entry;
        std::string ignored;
        if (kolv::parsePinFile(line, entry, ignored) && std::count(entry.pins.begin(), entry.pins.end(), pin) > 0)
            return true;
    }
    return false;
}

bool readIfPresent(const char* path, std::string& text, bool& present) {
    std::error_code ignored;
    present = std::filesystem::exists(path, ignored);
    if (!present) return true;
    std::ifstream in(path, std::ios::binary);
    std::ostringstream read;
    if (in) read << in.rdbuf();
    text = read.str();
    if (in) return true;
    std::fprintf(stderr, "kolv-setup: cannot read %s\n", path);
    return false;
}

bool append(const char* path, const std::string& lines) {
    std::FILE* file = std::fopen(path, "ab");
    bool ok = file != nullptr && std::fwrite(lines.data(), 1, lines.size(), file) == lines.size();
    ok = file != nullptr && std::fclose(file) == 0 && ok;
    if (!ok) std::fprintf(stderr, "kolv-setup: cannot write %s: %s\n", path, std::strerror(errno));
    return ok;
}

// The bridge refuses a faulty file at start; better to hear it now. text is
// what the file holds.
void warnIfFaulty(const char* path, const std::string& text) {
    kolv::TrustPolicy policy;
    std::string error;
    if (!kolv::parsePinFile(text, policy, error))
        std::fprintf(stderr, "kolv-setup: note: %s %s; the bridge will not start until that is mended\n", path,
                     error.c_str());
}

}  // namespace

PinAdded addPin(const kolv::PinDigest& pin, const char* path) {
    std::string text;
    bool present = false;
    if (!readIfPresent(path, text, present)) return PinAdded::Failed;
    if (lists(text, pin)) return PinAdded::AlreadyListed;
    std::string lines = present ? "" : kPinFileHeader;
    if (!text.empty() && text.back() != '\n') lines += '\n';
    lines += kolv::formatPin(pin) + '\n';
    if (!append(path, lines)) return PinAdded::Failed;
    warnIfFaulty(path, text + lines);
    return PinAdded::Added;
}

}  // namespace kolvsetup
