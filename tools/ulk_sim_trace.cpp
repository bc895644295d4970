#include "ulk_sim_trace.h"

#include <cstdio>
#include <mutex>

#include "platform/system.h"

namespace ulksim {
namespace {

std::mutex gOutMutex;

}  // namespace

void report(const std::string& text) {
    kolv::LocalTime t = kolv::localTimeNow();
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "[%02d:%02d:%02d] ", t.hour, t.minute, t.second);
    std::string line = stamp + text + "\n";
    std::lock_guard<std::mutex> lock(gOutMutex);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

std::string printable(const std::string& text) {
    std::string out;
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (c < 32 || c == 127) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned>(c));
            out += hex;
        } else {
            out += ch;
        }
    }
    return out;
}

void flushReports() {
    std::lock_guard<std::mutex> lock(gOutMutex);
    std::fflush(stdout);
}

}  // namespace ulksim
