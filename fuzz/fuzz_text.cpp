// The text utilities: printPiped, removeAll, splitFields, formatPacket, and
// the escaping of network text for the console and the log.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_seam.h"
#include "output/append_log.h"
#include "output/print_piped.h"
#include "output/visible_text.h"
#include "packet/packet_text.h"
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

// Whether shown holds a byte a terminal would act on: a C0 control other than
// tab and the kept line ends, DEL, or a C1 control (raw, or U+0080..U+009F).
bool holdsControl(const std::string& shown, kolv::LineEnds ends) {
    for (std::size_t i = 0; i < shown.size(); ++i) {
        const auto c = static_cast<unsigned char>(shown[i]);
        const auto next = static_cast<unsigned char>(i + 1 < shown.size() ? shown[i + 1] : 0);
        const auto before = static_cast<unsigned char>(i > 0 ? shown[i - 1] : 0);
        const bool lineEnd = ends == kolv::LineEnds::Keep && (c == '\n' || (c == '\r' && next == '\n'));
        if ((c < 0x20 && c != '\t' && !lineEnd) || c == 0x7F) return true;
        if ((c == 0xC2 && next >= 0x80 && next <= 0x9F) || (c >= 0x80 && c <= 0x9F && before < 0x80)) return true;
    }
    return false;
}

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
    FUZZ_CHECK(console.written <= text.size());

    std::string removed = removeAll(text.c_str(), pattern.c_str());
    FUZZ_CHECK(removed.size() <= 511);
    FUZZ_CHECK(removed.size() <= text.size());
    if (!pattern.empty() && text.size() <= 511 && pattern.size() == 1) {
        FUZZ_CHECK(removed.find(pattern) == std::string::npos);
    }

    auto pieces = splitFields(text, '~');
    FUZZ_CHECK(pieces.size() == countChar(text, '~') + 1);
    std::string joined;
    for (std::size_t i = 0; i < pieces.size(); ++i) joined += (i ? "~" : "") + pieces[i];
    FUZZ_CHECK(joined == text);

    for (LineEnds ends : {LineEnds::Keep, LineEnds::Drop}) {
        const std::string shown = visibleText(all, ends);
        FUZZ_CHECK(!holdsControl(shown, ends));
        FUZZ_CHECK(visibleText(shown, ends) == shown);
    }
    char cleaned[512];
    cleanLogMessage(text.c_str(), cleaned, sizeof cleaned);
    FUZZ_CHECK(visibleText(text, LineEnds::Drop).rfind(cleaned, 0) == 0);

    char packet[kPacketBufferSize];
    const char* field = text.c_str();
    formatPacket(packet, field, pattern.c_str(), field, "", field, "", field);
    FUZZ_CHECK(std::strlen(packet) <= 512);
    return 0;
}
