// One client of kolv-chat --load: what it sent, what came back, and when it
// held a slot at the bridge. Its writer and reader threads share it under its lock.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kolvload {

enum class Departure { Close, Reset, Logoff };

struct SentPacket {
    long seq = 0;
    std::size_t bytes = 0;
    std::int64_t sentAtUnixMs = 0;
    bool cut = false;  // the part written before the client left part way through it
    bool acked = false;
};

struct ClientRecord {
    explicit ClientRecord(std::string clientName) : name(std::move(clientName)) {}
    const std::string name;
    std::mutex mutex;
    std::vector<SentPacket> sent;  // packet n at n - 1
    long highestAck = 0, outOfOrder = 0, duplicates = 0;
    long lines = 0, controlLeft = 0;
    std::vector<std::string> malformed;
    std::map<long, std::int64_t> hostMessages;  // HOSTMSG number: steady ms it came
    std::int64_t joinedAtMs = -1;  // the first line from the bridge: a slot is held
    bool gone = false;             // leaving began, or the bridge ended the connection
    bool slowReader = false;
    Departure departure = Departure::Close;
    bool midPacket = false;
    bool endedByBridge = false;
};

using RecordPtr = std::shared_ptr<ClientRecord>;

// A record for a client that has just connected; kept for the summary.
RecordPtr newRecord(const std::string& name);
std::vector<RecordPtr> allRecords();

// "NAME~SITE~~~~~NAME SEQ[ PAD]~\n"
std::string numberedPacket(const std::string& name, const std::string& site, long seq, const std::string& pad);
// The sequence number of a body "NAME SEQ[ ...]" sent by name, else 0.
long numberIn(const std::string& body, const std::string& name);

// One line from the bridge, without its line end, come at steady nowMs.
void takeLine(ClientRecord& record, const std::string& line, std::int64_t nowMs);

}  // namespace kolvload
