#include "ulk_sim_tally.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "packet/packet_text.h"
#include "ulk_sim_trace.h"

namespace ulksim {
namespace {

constexpr std::size_t kMalformedShown = 5;

struct Sender {
    std::set<long> seen;
    long highest = 0;
};

struct Tally {
    std::mutex mutex;
    long lines = 0, whole = 0, blank = 0, unfinished = 0, numbered = 0;
    long outOfOrder = 0, duplicates = 0;
    std::vector<std::string> malformed;  // every one, shown up to kMalformedShown
    std::map<std::string, Sender> senders;
};

Tally& tally() {
    static auto* kept = new Tally;  // never destroyed: site threads may still report at exit
    return *kept;
}

// The number of a body "NAME SEQ" or "NAME SEQ ...", else 0; name is set to NAME.
long packetNumber(const std::string& body, std::string& name) {
    std::size_t space = body.find(' ');
    if (space == std::string::npos || space == 0) return 0;
    std::size_t end = body.find(' ', space + 1);
    std::string digits = body.substr(space + 1, end == std::string::npos ? std::string::npos : end - space - 1);
    if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
    name = body.substr(0, space);
    return std::atol(digits.c_str());
}

// Whole: seven "~", the last one ending the line; a numbered body names its sender.
bool wholePacket(const std::string& line, std::vector<std::string>& fields) {
    if (std::count(line.begin(), line.end(), '~') != 7 || line.back() != '~') return false;
    fields = kolv::splitFields(line, '~');
    std::string name;
    return packetNumber(fields[6], name) == 0 || name == fields[0];
}

void countNumber(Tally& t, const std::string& sender, long number) {
    Sender& s = t.senders[sender];
    ++t.numbered;
    if (!s.seen.insert(number).second) {
        ++t.duplicates;
        report("check: duplicate packet " + sender + " " + std::to_string(number));
    } else if (number < s.highest) {
        ++t.outOfOrder;
        report("check: packet " + sender + " " + std::to_string(number) + " after " + std::to_string(s.highest));
    }
    s.highest = std::max(s.highest, number);
}

}  // namespace

void tallyLine(const std::string& line, bool hadLineEnd) {
    Tally& t = tally();
    std::lock_guard<std::mutex> lock(t.mutex);
    ++t.lines;
    if (line.empty()) {
        ++t.blank;
        return;
    }
    std::vector<std::string> fields;
    if (!hadLineEnd || !wholePacket(line, fields)) {
        t.malformed.push_back(line);
        report("check: malformed line " + printable(line));
        return;
    }
    ++t.whole;
    std::string name;
    long number = packetNumber(fields[6], name);
    if (number > 0) countNumber(t, name, number);
}

void tallyUnfinished() {
    Tally& t = tally();
    std::lock_guard<std::mutex> lock(t.mutex);
    ++t.unfinished;
}

void printTally() {
    Tally& t = tally();
    std::lock_guard<std::mutex> lock(t.mutex);
    report("summary: received " + std::to_string(t.lines) + " lines: " + std::to_string(t.whole) + " whole, " +
           std::to_string(t.malformed.size()) + " malformed, " + std::to_string(t.blank) + " blank; " +
           std::to_string(t.unfinished) + " unfinished at a link's end");
    report("summary: numbered " + std::to_string(t.numbered) + " from " + std::to_string(t.senders.size()) +
           " senders: " + std::to_string(t.outOfOrder) + " out of order, " + std::to_string(t.duplicates) +
           " duplicates");
    for (std::size_t i = 0; i < t.malformed.size() && i < kMalformedShown; ++i)
        report("summary: malformed: " + printable(t.malformed[i]));
}

}  // namespace ulksim
