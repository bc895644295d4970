#include "kolv_load_record.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>

#include "packet/packet_text.h"

namespace kolvload {
namespace {

std::mutex gRecordsMutex;
std::vector<RecordPtr> gRecords;

constexpr std::string_view kHostMessage = "HOSTMSG ";

// Seven "~", the last one ending the line.
bool isWhole(const std::string& line) {
    return !line.empty() && line.back() == '~' && std::count(line.begin(), line.end(), '~') == 7;
}

// The bridge replaces control characters in the host's own messages.
bool holdsControlCharacters(const std::string& line) {
    return std::any_of(line.begin(), line.end(), [](char c) {
        auto byte = static_cast<unsigned char>(c);
        return byte >= 7 && byte <= 31;
    });
}

void acknowledge(ClientRecord& record, long seq) {
    if (seq < 1 || static_cast<std::size_t>(seq) > record.sent.size()) return;
    SentPacket& packet = record.sent[static_cast<std::size_t>(seq - 1)];
    if (packet.acked) {
        ++record.duplicates;
    } else if (seq < record.highestAck) {
        ++record.outOfOrder;
    }
    packet.acked = true;
    record.highestAck = std::max(record.highestAck, seq);
}

}  // namespace

RecordPtr newRecord(const std::string& name) {
    auto record = std::make_shared<ClientRecord>(name);
    std::lock_guard<std::mutex> lock(gRecordsMutex);
    gRecords.push_back(record);
    return record;
}

std::vector<RecordPtr> allRecords() {
    std::lock_guard<std::mutex> lock(gRecordsMutex);
    return gRecords;
}

std::string numberedPacket(const std::string& name, const std::string& site, long seq, const std::string& pad) {
    return name + "~" + site + "~~~~~" + name + " " + std::to_string(seq) + (pad.empty() ? "" : " " + pad) + "~\n";
}

long numberIn(const std::string& body, const std::string& name) {
    if (body.size() <= name.size() + 1 || body.compare(0, name.size(), name) != 0 || body[name.size()] != ' ') return 0;
    std::size_t start = name.size() + 1;
    std::size_t end = std::min(body.find(' ', start), body.size());
    std::string digits = body.substr(start, end - start);
    if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
    return std::atol(digits.c_str());
}

void takeLine(ClientRecord& record, const std::string& line, std::int64_t nowMs) {
    std::lock_guard<std::mutex> lock(record.mutex);
    ++record.lines;
    if (record.joinedAtMs < 0) record.joinedAtMs = nowMs;
    if (!isWhole(line)) {
        record.malformed.push_back(line);
        return;
    }
    std::vector<std::string> fields = kolv::splitFields(line, '~');
    const std::string& body = fields[6];
    if (fields[0] == "SERVER" && holdsControlCharacters(line)) ++record.controlLeft;
    if (body.compare(0, kHostMessage.size(), kHostMessage) == 0) {
        record.hostMessages.emplace(std::atol(body.c_str() + kHostMessage.size()), nowMs);
    } else if (fields[0] == record.name) {
        acknowledge(record, numberIn(body, record.name));
    }
}

}  // namespace kolvload
