// The text utilities: printPiped, removeAll, splitFields, formatPacket.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "output/print_piped.h"
#include "packet/format_packet.h"
#include "packet/remove_all.h"
#include "packet/split_fields.h"
#include "platform/console.h"

namespace {

class CountingConsole final : public kolv::ConsoleSink {
public:
    std::size_t written = 0;
    void write(const char*, std::size_t length) override { written += length; }
    void setAttribute(int attribute) override {
        if (attribute < 0 || attribute > 0x7F) std::abort();
    }
};

// Names the broken invariant before stopping, so a finding explains itself.
void checkAt(bool condition, const char* what, int line) {
    if (condition) return;
    std::fprintf(stderr, "invariant broken at line %d: %s\n", line, what);
    std::abort();
}
#define check(condition) checkAt((condition), #condition, __LINE__)

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kolv;
    static CountingConsole console;
    setConsoleSink(&console);
    std::string all(reinterpret_cast<const char*>(data), size);
    // Split the input into a text and a pattern at the first zero byte.
    std::string text = all.substr(0, all.find('\0'));
    std::string pattern = all.find('\0') == std::string::npos ? "" : all.substr(all.find('\0') + 1);
    pattern = pattern.substr(0, pattern.find('\0'));

    console.written = 0;
    printPiped(text.c_str());
    check(console.written <= text.size());

    std::string removed = removeAll(text.c_str(), pattern.c_str());
    check(removed.size() <= 511);
    check(removed.size() <= text.size());
    if (!pattern.empty() && text.size() <= 511 && pattern.size() == 1) {
        check(removed.find(pattern) == std::string::npos);
    }

    auto pieces = splitFields(text, '~');
    check(pieces.size() == countChar(text, '~') + 1);
    std::string joined;
    for (std::size_t i = 0; i < pieces.size(); ++i) joined += (i ? "~" : "") + pieces[i];
    check(joined == text);

    char packet[kPacketBufferSize];
    const char* field = text.c_str();
    formatPacket(packet, field, pattern.c_str(), field, "", field, "", field);
    check(std::strlen(packet) <= 512);
    return 0;
}
