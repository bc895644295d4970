// What the host sends: lines cut and carried, invalid and over-long lines,
// control characters, HELLO, ping and STATS:, and the latency measurement.
#include <regex>

#include "e2e/harness.h"

namespace kolvtest {
namespace {

const std::string kMark = "M~~~~~~mark~\n";
const std::string kLongest = "Max~Far~~~~~" + std::string(498, 'm') + "~";   // 511 characters
const std::string kTooLong = "Long~Far~~~~~" + std::string(586, 'x') + "~";  // 600
const std::string kOneOver = "Over~Far~~~~~" + std::string(498, 'o') + "~";  // 512
const std::string kSplit = "Split~Far~~~~~" + std::string(585, 'y') + "~";   // 600, its end comes later
const std::string kUserTab = "Eve~Site~~~~~tab\there\rand\x07" "bell~\n";
const std::string kAlive = "CLIENT~My_Board~([0-9]+)~SERVER~([0-9]+)~~IMALIVE:My Board~\n";
const std::string kStats = "CLIENT~My_Board~~SERVER~~~STATS~\n";
// Terminal controls from the network: OSC, BEL, CSI (ESC [, raw 0x9b, and
// U+009B in UTF-8), beside a letter whose UTF-8 holds 0x9b (U+011B).
const std::string kRogue = "Mal\x1b]0;x\x07\x9b";
const std::string kControls =
    "SERVER~~~~~~\x1b]0;owned\x07\x9b" "2J\xc2\x9b~\nEve\x1b[2J~Site~~~~~\xc4\x9b~\nbad\x1b[1A~\x9b~\n";
const std::string kShownInvalid = "bad\\x1b[1A~\\x9b~";

// One write of the host and the lines every client gets from it.
struct Step {
    std::string send;
    std::vector<std::string> toClient;
};

struct Case {
    const char* name;
    bool verbose;
    std::vector<Step> steps;
    std::vector<std::string> toHost;  // regular expressions, one per line
    std::vector<std::string> log;     // exact when quiet, in this order when verbose
    std::vector<std::string> shown;   // console texts
    std::string stats = "-";          // ulkstats.dat, "-" when absent
    void (*config)(Config&) = nullptr;
    std::string user = "Alice";  // the client's name
};

void helloConfig(Config& config) {
    config.site = "|10The Board";
    config.info = {std::string(139, 'w'), "+1 555 0100", "", "Linux box", "A quiet place"};
}

const Case kCases[] = {
    {"lines cut and carried", true,
     {{"A~Far~~~~~one~\nB~Far~~~~~two~\n", {"A~Far~~~~~one~\n", "B~Far~~~~~two~\n"}},
      {"C~Far~~~~~first~\nZed~Far~~~~~|07Sp", {"C~Far~~~~~first~\n"}},
      {"lit~\n", {"Zed~Far~~~~~|07Split~\n"}},
      {"Q~Far~~~~~solo~", {"Q~Far~~~~~solo~\n"}}},
     {},
     {"partial packet detected:", "Zed~Far~~~~~|07Sp", "partial packet recovered:", "Zed~Far~~~~~|07Sp"},
     {"] partial packet detected: \"Zed~Far~~~~~|07Sp\n\"\r\n", "] partial packet recovered: Zed~Far~~~~~|07Sp\r\n"}},
    {"a packet cut across two reads, no line end in the first", false,
     {{"dave~Far~~~~~|07Hello wor", {}}, {"ld~\n", {"dave~Far~~~~~|07Hello world~\n"}}}, {}, {}, {}},
    {"invalid lines logged quietly, others dropped", false,
     {{"no tildes here\nbad~line~here~\nA~B~~~~~~\nfive~a~b~c~d~e\n", {}}},
     {},
     {"WARNING: invalid packet:", "bad~line~here~", "WARNING: invalid packet:", "five~a~b~c~d~e"},
     {}},
    {"invalid line shown with -V", true, {{"bad~line~here~\n", {}}}, {}, {"WARNING: invalid packet:", "bad~line~here~"},
     {"] WARNING: invalid packet: \"bad~line~here~\n\"\r\n"}},
    {"over-long lines logged cut and not passed on", false,
     {{kLongest + "\n", {kLongest + "\n"}},
      {kTooLong + "\nA~Far~~~~~after~\n", {"A~Far~~~~~after~\n"}},
      {kOneOver + "\nB~Far~~~~~after~\n", {"B~Far~~~~~after~\n"}},
      {"C~Far~~~~~before~\n" + kSplit, {"C~Far~~~~~before~\n"}},
      {"Tail~Far~~~~~leak~\nD~Far~~~~~after~\n", {"D~Far~~~~~after~\n"}}},
     {},
     {"WARNING: invalid packet:", kTooLong.substr(0, 511), "WARNING: invalid packet:", kOneOver.substr(0, 511),
      "WARNING: invalid packet:", kSplit.substr(0, 511)},
     {}},
    {"control characters replaced in the host's own messages only", false,
     {{"SERVER~~~~~~NOTICE\tA\rB\x07" "C\x1f\x01" "D\x7f\xe9~\n" + kUserTab + "SERVER~~~~~~HELLO\r~\n",
       {"SERVER~~~~~~NOTICE_A_B_C_\x01" "D\x7f\xe9~\n", kUserTab, "SERVER~~~~~~HELLO_~\n"}}},
     {},
     {},
     {}},
    {"host messages traced with -V", true, {{"SERVER~~~~~~NO\tTE~\n", {"SERVER~~~~~~NO_TE~\n"}}}, {},
     {"received \"SERVER~~~~~~NO\tTE~\" from host"},
     {"] received \"SERVER~~~~~~NO\tTE~\" from host\n", "] replacing ascii 9 (\t).\r\n"}},
    {"ping in any case answered, hello passed on", false,
     {{"SERVER~~~~~~ping~\nSERVER~~~~~~PING~\nSERVER~~~~~~Ping~\nSERVER~~~~~~hello~\n", {"SERVER~~~~~~hello~\n"}}},
     {kAlive, kStats, kAlive, kStats, kAlive, kStats},
     {},
     {}},
    {"HELLO answered byte for byte, not passed on", false, {{"SERVER~~~~~~HELLO~\n", {}}},
     {"CLIENT~The_Board~~SERVER~~~INFOWEB:" + std::string(132, 'w') + "~\n",  // cut at 140
      "CLIENT~The_Board~~SERVER~~~INFOTEL:\\+1 555 0100~\n", "CLIENT~The_Board~~SERVER~~~INFOSSH:%s~\n",
      "CLIENT~The_Board~~SERVER~~~INFOSYS:Linux box~\n", "CLIENT~The_Board~~SERVER~~~INFODSC:A quiet place~\n",
      "CLIENT~The_Board~([0-9]+)~SERVER~~~IMALIVE:\\|10The Board~\n",
      "CLIENT~The_Board~~SERVER~~~CAPABILITIES: MCI CTCP~\n"},
     {}, {}, "-", helloConfig},
    {"STATS: stored, not passed on", false, {{"SERVER~~~~~~STATS:1 2 3 4~\n", {}}}, {}, {}, {}, "1 2 3 4"},
    {"control bytes from the network shown escaped", false,
     {{kControls, {"SERVER~~~~~~_]0;owned_\x9b" "2J\xc2\x9b~\n", "Eve\x1b[2J~Site~~~~~\xc4\x9b~\n"}}}, {},
     {"WARNING: invalid packet:", kShownInvalid}, {"] Mal\\x1b]0;x\\x07\\x9b entered chat (slot #0"}, "-", nullptr, kRogue},
    {"control bytes from the network shown escaped with -V", true,
     {{kControls, {"SERVER~~~~~~_]0;owned_\x9b" "2J\xc2\x9b~\n", "Eve\x1b[2J~Site~~~~~\xc4\x9b~\n"}}}, {},
     {"Mal\\x1b]0;x\\x07\\x9b entered chat (slot #0 occupied).",
      "received \"SERVER~~~~~~\\x1b]0;owned\\x07\\x9b2J\\xc2\\x9b~\" from host", "WARNING: invalid packet:", kShownInvalid},
     {"] replacing ascii 27 (\\x1b).\r\n", "] replacing ascii 7 (\\x07).\r\n", "\"Eve\\x1b[2J~Site~~~~~\xc4\x9b~\" to socket",
      "] WARNING: invalid packet: \"" + kShownInvalid + "\n\"\r\n"},
     "-", nullptr, kRogue},
    {"STATS: text cut at 29", false, {{"SERVER~~~~~~STATS:" + std::string(40, 's') + "~\n", {}}}, {}, {}, {},
     std::string(29, 's')},
};

// Bytes a terminal would act on: C0 controls but tab and line ends, DEL, and
// C1 controls, raw or in UTF-8 (a byte 0x80..0x9F after ASCII, or after 0xC2).
std::string rawControls(const std::string& text) {
    std::string found;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const auto before = static_cast<unsigned char>(i > 0 ? text[i - 1] : 0);
        const bool lineEnd = c == '\n' || (c == '\r' && text.compare(i, 2, "\r\n") == 0);
        const bool c1 = c >= 0x80 && c <= 0x9F && (before < 0x80 || before == 0xC2);
        if ((c < 0x20 && c != '\t' && !lineEnd) || c == 0x7F || c1) found += text[i];
    }
    return found;
}

bool inOrder(const std::vector<std::string>& all, const std::vector<std::string>& wanted) {
    auto at = all.begin();
    for (const std::string& w : wanted) {
        at = std::find(at, all.end(), w);
        if (at == all.end()) return false;
        ++at;
    }
    return true;
}

TEST(HostLines, EachReadIsHandledAsTheTableSays) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Session s(c.verbose ? std::vector<std::string>{"-W1", "-V"} : std::vector<std::string>{"-W1"}, HostMode::Plain,
                  c.config);
        auto client = s.join(c.user);
        for (const Step& step : c.steps) {
            ASSERT_TRUE(s.link->send(step.send));
            if (step.toClient.empty()) std::this_thread::sleep_for(100ms);  // the next step comes in a read of its own
            for (const std::string& line : step.toClient) EXPECT_EQ(client->readLine(5s), line);
        }
        ASSERT_TRUE(s.link->send(kMark));
        EXPECT_EQ(readUntil(*client, kMark), std::vector<std::string>{kMark});
        for (const std::string& pattern : c.toHost) {
            std::smatch match;
            auto line = s.link->readLine(5s).value_or("<none>");
            EXPECT_TRUE(std::regex_match(line, match, std::regex(pattern))) << line;
            EXPECT_TRUE(match.size() < 2 || bridgeIsWindows() || match[1] == std::to_string(s.bridge->pid())) << line;
        }
        auto log = logMessages(s.dir);
        if (c.verbose) {
            EXPECT_TRUE(inOrder(log, c.log)) << ::testing::PrintToString(log);
        } else {
            EXPECT_EQ(log, c.log);
            EXPECT_EQ(s.bridge->out().find("WARNING"), std::string::npos);
        }
        for (const std::string& text : c.shown) EXPECT_NE(s.bridge->out().find(text), std::string::npos) << text;
        EXPECT_EQ(rawControls(s.bridge->out()), "");
        EXPECT_EQ(rawControls(s.dir.read("kolv.log")), "");
        EXPECT_EQ(std::filesystem::exists(s.dir.path / "ulkstats.dat") ? s.dir.read("ulkstats.dat") : "-", c.stats);
    }
}

// A relayed packet that the host echoes is measured (less the 10 ms pause
// after the write) and the figure goes to every client before the echo;
// "~NOTME~" packets are not measured; the answer to STATS is.
TEST(HostLines, EchoesAreMeasuredAndToldBeforeThePacket) {
    Session s;
    auto alice = s.join("Alice");
    auto bob = s.join("Bob");
    const std::string notme = "Alice~Site~~NOTME~~~quiet~\n";
    ASSERT_TRUE(alice->send(notme));
    ASSERT_EQ(s.link->readLine(5s), notme);
    ASSERT_TRUE(s.link->send(notme + kMark));
    for (auto* client : {alice.get(), bob.get()}) EXPECT_EQ(readUntil(*client, kMark), (std::vector<std::string>{notme, kMark}));

    // The bridge stamps its write somewhere after this point, so "now - before"
    // bounds the figure from above whatever the scheduling.
    const auto before = Clock::now();
    const std::string packet = chat("Alice", "echo me");
    ASSERT_TRUE(alice->send(packet));
    ASSERT_EQ(s.link->readLine(5s), packet);
    std::this_thread::sleep_for(60ms);
    ASSERT_TRUE(s.link->send(packet));
    for (auto* client : {alice.get(), bob.get()}) {
        auto notice = client->readLine(5s).value_or("");
        long long latency = std::atoll(notice.substr(notice.find(':') + 1).c_str());
        long long upper = std::chrono::duration_cast<Millis>(Clock::now() - before).count() - 8;
        EXPECT_TRUE(notice.rfind("SERVER~~~CLIENT~~~LATENCY:", 0) == 0 && latency >= 45 && latency <= upper)
            << notice << " at most " << upper;
        EXPECT_EQ(client->readLine(5s), packet);
    }
    ASSERT_TRUE(s.link->send("SERVER~~~~~~ping~\n"));
    s.link->readLine(5s);
    ASSERT_EQ(s.link->readLine(5s), kStats);
    ASSERT_TRUE(s.link->send("SERVER~~~~~~STATS:7 users\n" + kMark));  // seven fields, no closing "~"
    auto notice = readUntil(*bob, kMark);
    EXPECT_TRUE(notice.size() == 2 && notice[0].rfind("SERVER~~~CLIENT~~~LATENCY:", 0) == 0)
        << ::testing::PrintToString(notice);
}

}  // namespace
}  // namespace kolvtest
