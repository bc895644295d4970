// What the real bridge does with the lines a fake host sends: cutting reads
// into lines, partial and over-long lines, invalid lines, host messages and
// their control characters, the answers to HELLO and ping, the statistics
// file, and the latency of the statistics request.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "harness/harness.h"
#include "harness/packets.h"

using namespace std::chrono_literals;
using namespace kolvtest;

namespace {

const std::string kSite = "My Board";
const std::string kCleanSite = "My_Board";
const std::string kSoftware = "Sys 2";
// Short and unlike any packet the bridge sends, so its checksum matches none.
const std::string kMarker = "M~~~~~~mark~\n";

std::string chat(const std::string& user, const std::string& body) { return user + "~HomeBoard~~~~~" + body + "~\n"; }

long long unixMillisNow() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// How long the fake host takes to answer the statistics request: the bridge
// records its request 10 ms after writing it.
void hostRoundTrip() { std::this_thread::sleep_for(50ms); }

struct Rig {
    TempDir dir;
    FakeHost host;
    std::unique_ptr<BridgeProcess> bridge;
    std::shared_ptr<HostConnection> link;

    explicit Rig(HostMode mode = HostMode::Plain) : host(mode) {}

    ConfigOptions defaultConfig() const {
        return ConfigOptions(host.portText()).withSite(kSite).withSoftware(kSoftware);
    }

    // Starts the bridge with config and takes its first link up to the
    // handshake and the local listener.
    bool start(std::vector<std::string> args, const ConfigOptions& config) {
        writeConfig(dir, config);
        bridge = std::make_unique<BridgeProcess>(dir.path(), args);
        link = host.waitForConnection(1, 10s);
        if (link == nullptr) {
            ADD_FAILURE() << "no host connection: " << bridge->output();
            return false;
        }
        std::string handshake = link->readHandshake(5s);
        if (handshake != expectedHandshake(config.site, config.software)) {
            ADD_FAILURE() << "handshake: \"" << handshake << "\"";
            return false;
        }
        if (!bridge->waitForOutput("] Ready for clients.\n", 5s)) {
            ADD_FAILURE() << "listener not open: " << bridge->output();
            return false;
        }
        return true;
    }
    bool start(std::vector<std::string> args = {"-W1"}) { return start(std::move(args), defaultConfig()); }

    // A local client that has named itself (its packet read off the link).
    std::unique_ptr<LocalClient> join(const std::string& user) {
        auto client = std::make_unique<LocalClient>();
        if (!client->connect(host.port(), 5s)) {
            ADD_FAILURE() << "local client cannot connect";
            return nullptr;
        }
        const std::string packet = chat(user, "|07Hello");
        EXPECT_TRUE(client->send(packet));
        EXPECT_EQ(text(client->readLine(5s)), latencyPacket(0));
        EXPECT_EQ(text(link->readLine(5s)), packet);
        return client;
    }

    // Sends the marker and expects it as the client's next line: whatever
    // the host sent before it has been handled by then.
    void expectMarkerNext(LocalClient& client) {
        ASSERT_TRUE(link->send(kMarker));
        EXPECT_EQ(text(client.readLine(5s)), kMarker);
    }
};

// The bridge's process id as the host sees it in IMALIVE.
bool isBridgePid(const std::string& pidText, const BridgeProcess& bridge) {
    const char* command = std::getenv("KOLV_BRIDGE_CMD");
    if (command != nullptr && *command != '\0') {
        return std::regex_match(pidText, std::regex("[0-9]+"));  // a wrapper's child: any id
    }
    return pidText == std::to_string(bridge.pid());
}

std::vector<std::string> readLines(HostConnection& link, std::size_t count) {
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < count; ++i) {
        std::optional<std::string> line = link.readLine(5s);
        if (!line) break;
        lines.push_back(*line);
    }
    return lines;
}

// Reads the ping answer; checks the IMALIVE packet (pid, time near now) and
// the statistics request after it.
void expectPingAnswer(HostConnection& link, const BridgeProcess& bridge) {
    const long long before = unixMillisNow();
    std::optional<std::string> alive = link.readLine(5s);
    static const std::regex kAlive("CLIENT~My_Board~([0-9]+)~SERVER~([0-9]+)~~IMALIVE:My Board~\n");
    std::smatch match;
    ASSERT_TRUE(alive && std::regex_match(*alive, match, kAlive)) << text(alive);
    EXPECT_TRUE(isBridgePid(match[1].str(), bridge)) << match[1].str() << " vs " << bridge.pid();
    const long long stamp = std::stoll(match[2].str());
    EXPECT_GT(stamp, before - 5000) << "a Unix time in milliseconds";
    EXPECT_LT(stamp, unixMillisNow() + 5000);
    EXPECT_EQ(text(link.readLine(5s)), "CLIENT~My_Board~~SERVER~~~STATS~\n");
}

std::ptrdiff_t indexOf(const std::vector<std::string>& lines, const std::string& line) {
    auto at = std::find(lines.begin(), lines.end(), line);
    return at == lines.end() ? -1 : at - lines.begin();
}

}  // namespace

// --- cutting reads into lines ---

TEST(HostReceiveLines, ReadsAreCutIntoLinesAndAPartialLineIsCarriedToTheNextRead) {
    Rig rig;
    ASSERT_TRUE(rig.start({"-W1", "-V"}));
    auto client = rig.join("Alice");
    ASSERT_NE(client, nullptr);

    // Two packets in one write: both whole, in order, nothing carried.
    ASSERT_TRUE(rig.link->send("A~Far~~~~~one~\nB~Far~~~~~two~\n"));
    EXPECT_EQ(text(client->readLine(5s)), "A~Far~~~~~one~\n");
    EXPECT_EQ(text(client->readLine(5s)), "B~Far~~~~~two~\n");
    EXPECT_EQ(rig.bridge->output().find("partial packet"), std::string::npos) << rig.bridge->output();

    // A write that ends inside a packet.
    ASSERT_TRUE(rig.link->send("C~Far~~~~~first~\nZed~Far~~~~~|07Sp"));
    EXPECT_EQ(text(client->readLine(5s)), "C~Far~~~~~first~\n");
    ASSERT_TRUE(rig.bridge->waitForOutput("] partial packet detected: \"Zed~Far~~~~~|07Sp\n\"\r\n", 5s))
        << rig.bridge->output();
    ASSERT_TRUE(rig.bridge->waitForOutput("] partial packet recovered: Zed~Far~~~~~|07Sp\r\n", 5s))
        << rig.bridge->output();
    ASSERT_TRUE(rig.link->send("lit~\n"));
    EXPECT_EQ(text(client->readLine(5s)), "Zed~Far~~~~~|07Split~\n");

    // A read without any line end is one whole line.
    ASSERT_TRUE(rig.link->send("Q~Far~~~~~solo~"));
    EXPECT_EQ(text(client->readLine(5s)), "Q~Far~~~~~solo~\n");
    rig.expectMarkerNext(*client);

    EXPECT_EQ(countOccurrences(rig.bridge->output(), "partial packet detected"), 1u) << rig.bridge->output();
    EXPECT_EQ(countOccurrences(rig.bridge->output(), "partial packet recovered"), 1u) << rig.bridge->output();
    ASSERT_TRUE(waitForLog(rig.dir, "partial packet recovered:", 5s));
    std::vector<std::string> log = logMessages(rig.dir);
    std::ptrdiff_t at = indexOf(log, "partial packet detected:");
    ASSERT_GE(at, 0) << readLog(rig.dir);
    ASSERT_LE(static_cast<std::size_t>(at) + 4, log.size()) << readLog(rig.dir);
    const auto first = log.begin() + at;
    EXPECT_EQ(std::vector<std::string>(first, first + 4),
              (std::vector<std::string>{"partial packet detected:", "Zed~Far~~~~~|07Sp", "partial packet recovered:",
                                        "Zed~Far~~~~~|07Sp"}));
}

TEST(HostReceiveLines, InvalidLinesAreLoggedEvenQuietlyAndOthersDroppedWithoutTrace) {
    Rig rig;
    ASSERT_TRUE(rig.start());
    auto client = rig.join("Alice");
    ASSERT_NE(client, nullptr);

    ASSERT_TRUE(rig.link->send("no tildes here\n"));
    ASSERT_TRUE(rig.link->send("bad~line~here~\n"));
    ASSERT_TRUE(rig.link->send("A~B~~~~~~\n"));  // seven fields, empty body
    ASSERT_TRUE(rig.link->send("five~a~b~c~d~e\n"));
    rig.expectMarkerNext(*client);

    ASSERT_TRUE(waitForLog(rig.dir, "five~a~b~c~d~e", 5s)) << readLog(rig.dir);
    EXPECT_EQ(logMessages(rig.dir), (std::vector<std::string>{"WARNING: invalid packet:", "bad~line~here~",
                                                              "WARNING: invalid packet:", "five~a~b~c~d~e"}));
    const std::string out = rig.bridge->output();
    EXPECT_EQ(out.find("WARNING"), std::string::npos) << "shown only with -V:\n" << out;
    EXPECT_EQ(out.find("no tildes"), std::string::npos) << out;
    EXPECT_TRUE(rig.bridge->running());
}

TEST(HostReceiveLines, InvalidLineIsShownWithVerbose) {
    Rig rig;
    ASSERT_TRUE(rig.start({"-W1", "-V"}));
    auto client = rig.join("Alice");
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(rig.link->send("bad~line~here~\n"));
    rig.expectMarkerNext(*client);
    EXPECT_TRUE(rig.bridge->waitForOutput("] WARNING: invalid packet: \"bad~line~here~\n\"\r\n", 5s))
        << rig.bridge->output();
}

TEST(HostReceiveLines, OverlongLineIsLoggedCutAndNotPassedOn) {
    Rig rig;
    ASSERT_TRUE(rig.start());
    auto client = rig.join("Alice");
    ASSERT_NE(client, nullptr);

    // 511 characters before the line end still pass.
    const std::string longest = "Max~Far~~~~~" + std::string(511 - 13, 'm') + "~";
    ASSERT_EQ(longest.size(), 511u);
    ASSERT_TRUE(rig.link->send(longest + "\n"));
    EXPECT_EQ(text(client->readLine(5s)), longest + "\n");

    // 600 in one read, the next line in the same read.
    const std::string tooLong = "Long~Far~~~~~" + std::string(600 - 14, 'x') + "~";
    ASSERT_EQ(tooLong.size(), 600u);
    ASSERT_TRUE(rig.link->send(tooLong + "\nA~Far~~~~~after~\n"));
    EXPECT_EQ(text(client->readLine(5s)), "A~Far~~~~~after~\n");

    // 512: one too many.
    const std::string oneOver = "Over~Far~~~~~" + std::string(512 - 14, 'o') + "~";
    ASSERT_EQ(oneOver.size(), 512u);
    ASSERT_TRUE(rig.link->send(oneOver + "\nB~Far~~~~~after~\n"));
    EXPECT_EQ(text(client->readLine(5s)), "B~Far~~~~~after~\n");

    // 600 whose line end comes with a later read: its rest is not taken
    // for a packet of its own.
    const std::string split = "Split~Far~~~~~" + std::string(600 - 15, 'y') + "~";
    ASSERT_TRUE(rig.link->send("C~Far~~~~~before~\n" + split));
    EXPECT_EQ(text(client->readLine(5s)), "C~Far~~~~~before~\n");
    ASSERT_TRUE(waitForLog(rig.dir, "WARNING: invalid packet:", 5s, 3)) << readLog(rig.dir);
    ASSERT_TRUE(rig.link->send("Tail~Far~~~~~leak~\nD~Far~~~~~after~\n"));
    EXPECT_EQ(text(client->readLine(5s)), "D~Far~~~~~after~\n");
    rig.expectMarkerNext(*client);

    EXPECT_EQ(logMessages(rig.dir),
              (std::vector<std::string>{"WARNING: invalid packet:", tooLong.substr(0, 511), "WARNING: invalid packet:",
                                        oneOver.substr(0, 511), "WARNING: invalid packet:", split.substr(0, 511)}));
}

// --- host messages ---

TEST(HostReceiveMessages, ControlCharactersAreReplacedOnlyInTheHostsOwnMessages) {
    Rig rig;
    ASSERT_TRUE(rig.start());
    auto client = rig.join("Alice");
    ASSERT_NE(client, nullptr);

    // Bytes 7 to 31 except the line end become "_"; 1 to 6, 127 and high bytes stay.
    ASSERT_TRUE(rig.link->send("SERVER~~~~~~NOTICE\tA\rB\x07" "C\x1f\x01" "D\x7f\xe9~\n"));
    EXPECT_EQ(text(client->readLine(5s)), "SERVER~~~~~~NOTICE_A_B_C_\x01" "D\x7f\xe9~\n");
    const std::string userLine = "Eve~Site~~~~~tab\there\rand\x07" "bell~\n";
    ASSERT_TRUE(rig.link->send(userLine));
    EXPECT_EQ(text(client->readLine(5s)), userLine);

    // The command is taken from the received bytes: "HELLO\r" is no HELLO.
    ASSERT_TRUE(rig.link->send("SERVER~~~~~~HELLO\r~\n"));
    EXPECT_EQ(text(client->readLine(5s)), "SERVER~~~~~~HELLO_~\n");
    ASSERT_TRUE(rig.link->send("SERVER~~~~~~ping~\n"));
    expectPingAnswer(*rig.link, *rig.bridge);  // and nothing before it
    rig.expectMarkerNext(*client);
}

// --- host commands ---

TEST(HostReceiveCommands, HelloIsAnsweredByteForByteAndNotPassedOn) {
    Rig rig;
    ConfigOptions config = ConfigOptions(rig.host.portText())
                               .withSite("|10The Board")
                               .withSoftware(kSoftware)
                               .withWeb("example.test/board")
                               .withTel("+1 555 0100")
                               .withSys("Linux box")
                               .withDsc("A quiet place");  // no ssh text
    ASSERT_TRUE(rig.start({"-W1"}, config));
    auto client = rig.join("Alice");
    ASSERT_NE(client, nullptr);

    ASSERT_TRUE(rig.link->send("SERVER~~~~~~HELLO~\n"));
    std::vector<std::string> answer = readLines(*rig.link, 7);
    ASSERT_EQ(answer.size(), 7u);
    static const std::regex kAlive("CLIENT~The_Board~([0-9]+)~SERVER~~~IMALIVE:\\|10The Board~\n");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(answer[5], match, kAlive)) << answer[5];
    EXPECT_TRUE(isBridgePid(match[1].str(), *rig.bridge)) << match[1].str() << " vs " << rig.bridge->pid();
    EXPECT_EQ(answer, (std::vector<std::string>{
                          "CLIENT~The_Board~~SERVER~~~INFOWEB:example.test/board~\n",
                          "CLIENT~The_Board~~SERVER~~~INFOTEL:+1 555 0100~\n",
                          "CLIENT~The_Board~~SERVER~~~INFOSSH:%s~\n",  // an empty text leaves the format as it is
                          "CLIENT~The_Board~~SERVER~~~INFOSYS:Linux box~\n",
                          "CLIENT~The_Board~~SERVER~~~INFODSC:A quiet place~\n",
                          "CLIENT~The_Board~" + match[1].str() + "~SERVER~~~IMALIVE:|10The Board~\n",
                          "CLIENT~The_Board~~SERVER~~~CAPABILITIES: MCI CTCP~\n",
                      }));
    // Without a lost link there is no RECONNECT notice, and HELLO is not chat.
    rig.expectMarkerNext(*client);
    EXPECT_EQ(rig.bridge->output().find("RECONNECT"), std::string::npos);
}

TEST(HostReceiveCommands, CapabilitiesNameSslWhenConfiguredEvenIfTlsFailed) {
    Rig rig(HostMode::PlainAnswerToTls);
    ASSERT_TRUE(rig.start({"-W1"}, rig.defaultConfig().withTls()));
    ASSERT_TRUE(rig.bridge->waitForOutput("SSL_connect failed", 5s)) << rig.bridge->output();

    ASSERT_TRUE(rig.link->send("SERVER~~~~~~HELLO~\n"));
    std::vector<std::string> answer = readLines(*rig.link, 7);
    ASSERT_EQ(answer.size(), 7u);
    EXPECT_EQ(answer[0], "CLIENT~My_Board~~SERVER~~~INFOWEB:%s~\n");
    static const std::regex kAlive("CLIENT~My_Board~([0-9]+)~SERVER~~~IMALIVE:My Board~\n");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(answer[5], match, kAlive)) << answer[5];
    EXPECT_TRUE(isBridgePid(match[1].str(), *rig.bridge)) << match[1].str() << " vs " << rig.bridge->pid();
    EXPECT_EQ(answer[6], "CLIENT~My_Board~~SERVER~~~CAPABILITIES: MCI SSL CTCP~\n");
}

TEST(HostReceiveCommands, PingInAnyCaseIsAnsweredAndLowercaseHelloPassedOn) {
    Rig rig;
    ASSERT_TRUE(rig.start());
    auto client = rig.join("Alice");
    ASSERT_NE(client, nullptr);

    for (const char* body : {"ping", "PING", "Ping"}) {
        SCOPED_TRACE(body);
        ASSERT_TRUE(rig.link->send("SERVER~~~~~~" + std::string(body) + "~\n"));
        expectPingAnswer(*rig.link, *rig.bridge);
    }
    ASSERT_TRUE(rig.link->send("SERVER~~~~~~hello~\n"));
    EXPECT_EQ(text(client->readLine(5s)), "SERVER~~~~~~hello~\n") << "pings are not passed on, hello is";
    // "hello" got no answer: the next thing on the link answers the next ping.
    ASSERT_TRUE(rig.link->send("SERVER~~~~~~ping~\n"));
    expectPingAnswer(*rig.link, *rig.bridge);
    rig.expectMarkerNext(*client);
}

TEST(HostReceiveCommands, StatsTextIsStoredInTheFileAndNotPassedOn) {
    Rig rig;
    writeFile(rig.dir.file("ulkstats.dat"), "an older and longer statistics text\n");
    ASSERT_TRUE(rig.start());
    auto client = rig.join("Alice");
    ASSERT_NE(client, nullptr);

    ASSERT_TRUE(rig.link->send("SERVER~~~~~~STATS:1 2 3 4~\n"));
    rig.expectMarkerNext(*client);
    EXPECT_EQ(readFile(rig.dir.file("ulkstats.dat")), "1 2 3 4");

    const std::string longText = "0123456789012345678901234567890123456789";
    ASSERT_TRUE(rig.link->send("SERVER~~~~~~STATS:" + longText + "~\n"));
    rig.expectMarkerNext(*client);
    EXPECT_EQ(readFile(rig.dir.file("ulkstats.dat")), longText.substr(0, 29));

    // Letter case counts for "STATS:": this one is a message for the clients.
    ASSERT_TRUE(rig.link->send("SERVER~~~~~~stats:9~\n"));
    EXPECT_EQ(text(client->readLine(5s)), "SERVER~~~~~~stats:9~\n");
    EXPECT_EQ(readFile(rig.dir.file("ulkstats.dat")), longText.substr(0, 29));

    ASSERT_TRUE(rig.link->send("SERVER~~~~~~STATS:~\n"));
    rig.expectMarkerNext(*client);
    EXPECT_EQ(readFile(rig.dir.file("ulkstats.dat")), "");
    EXPECT_FALSE(logExists(rig.dir)) << readLog(rig.dir);
}

// --- latency of the statistics request ---

TEST(HostReceiveLatency, StatsAnswerAfterPingGivesALatencyNoticeFirst) {
    Rig rig;
    ASSERT_TRUE(rig.start());
    auto alice = rig.join("Alice");
    ASSERT_NE(alice, nullptr);

    ASSERT_TRUE(rig.link->send("SERVER~~~~~~ping~\n"));
    expectPingAnswer(*rig.link, *rig.bridge);
    hostRoundTrip();
    ASSERT_TRUE(rig.link->send("SERVER~~~~~~STATS:5 6 7~\n"));
    std::optional<std::string> notice = alice->readLine(5s);
    std::optional<long long> measured = latencyOf(notice);
    ASSERT_TRUE(measured.has_value()) << text(notice);
    EXPECT_GE(*measured, 0);
    EXPECT_LT(*measured, 10000);
    rig.expectMarkerNext(*alice);
    EXPECT_EQ(readFile(rig.dir.file("ulkstats.dat")), "5 6 7");

    // The match emptied the tracker: another answer measures nothing.
    ASSERT_TRUE(rig.link->send("SERVER~~~~~~STATS:8~\n"));
    rig.expectMarkerNext(*alice);
    EXPECT_EQ(readFile(rig.dir.file("ulkstats.dat")), "8");
}
