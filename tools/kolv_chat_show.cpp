#include "kolv_chat_show.h"

#include <string>
#include <vector>

#include "output/console_line.h"
#include "output/print_piped.h"
#include "packet/packet_text.h"
#include "platform/console.h"

namespace kolvchat {
namespace {

void showRendered(std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    // Texts are zero-terminated: a zero byte ends what is shown.
    std::string text(line.substr(0, line.find('\0')));
    std::vector<std::string> fields = kolv::splitFields(text, '~');
    if (fields.size() < 7) {
        kolv::printBareLine(text.c_str());
        return;
    }
    const std::string& from = fields[0];
    const std::string& body = fields[6];
    if (from == "SERVER" && fields[3] == "CLIENT") {
        if (body.compare(0, 8, "LATENCY:") == 0) {
            kolv::printBareText("* link latency %s ms\n", body.c_str() + 8);
            return;
        }
        if (body == "RECONNECT") {
            kolv::printBareLine("* the bridge reconnected to the host");
            return;
        }
    }
    kolv::printBareText("%s: ", from.c_str());
    kolv::printPiped(body.c_str());
    kolv::printPiped("|07");
    kolv::printBareLine("");
}

}  // namespace

void showLine(bool raw, std::string_view line) {
    if (raw) {
        kolv::consoleWrite(line.data(), line.size());
        return;
    }
    showRendered(line);
}

}  // namespace kolvchat
