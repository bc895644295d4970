// Start-up of the real bridge: options, banner and help, configuration
// loading, and the retry policy before the first link.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "harness/harness.h"

using namespace std::chrono_literals;
using namespace kolvtest;

namespace {

// Each banner line is written with a line end of its own after it.
const std::string kBanner =
    "\r\n\r\n|~|\\                           /|\\                           /|~|\n"
    "| |  |\\                     /|  |  |\\                     /|  | |\n"
    "| |  |  |\\               /|  |  |  |  |\\               /|  |  | |\n"
    "| |  |  |  |\\         /|  |  |  |  |  |  |\\         /|  |  |  | |\n"
    "| |  |  |  |  |\\   /|  |  |  |  |  |  |  |  |\\   /|  |  |  |  | |\n"
    "| |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  | |\n"
    "+-+------------===================================------------+-+\n"
    "|              <    K o l v - B R I D G E v103   >              |\r\n\n"
    "+-+------------===================================------------+-+\n";

const std::string kHelp =
    "\r\nKolv-Bridge options:\r\n\n"
    "-V     Enable verbose logging. Display and log all packet strings.\n"
    "-R[n]  Maximum connection retry attempts. Default=Infinite.\n"
    "-W[n]  Number of seconds before retrying. Default=5.\n";

std::vector<std::string> withHelp(std::vector<std::string> args) {
    args.push_back("-?");
    return args;
}

}  // namespace

TEST(StartupHelp, PrintsBannerAndHelpAndExitsWithoutConfig) {
    for (const char* help : {"-?", "-?x"}) {
        SCOPED_TRACE(help);
        TempDir dir;  // empty: no ulk.cfg
        BridgeProcess bridge(dir, {help});
        EXPECT_EQ(bridge.waitExit(10s), 0);
        EXPECT_EQ(bridge.output(), kBanner + kHelp);
        EXPECT_FALSE(logExists(dir));
    }
}

TEST(StartupHelp, OptionsBeforeHelpTakeEffectAndLaterOnesDoNot) {
    TempDir dir;
    BridgeProcess bridge(dir, {"-W2", "-V", "-?", "-W3", "-v", "-R1"});
    EXPECT_EQ(bridge.waitExit(10s), 0);
    EXPECT_EQ(maskStamps(bridge.output()),
              kBanner + "[T] Retry wait seconds: 2\r\n[T] Verbose logging OK\r\n" + kHelp);
    // "Verbose logging" is a console line only.
    EXPECT_FALSE(logExists(dir));
}

TEST(StartupOptions, EachOptionPrintsWhatItSets) {
    struct Case {
        std::vector<std::string> args;
        std::string printed;  // between the banner and the help
    };
    const Case cases[] = {
        {{"-W0"}, "[T] Retry wait seconds: 5\r\n"},
        {{"-W-3"}, "[T] Retry wait seconds: 5\r\n"},
        {{"-W"}, "[T] Retry wait seconds: 5\r\n"},
        {{"-W2"}, "[T] Retry wait seconds: 2\r\n"},
        {{"-w7"}, "[T] Retry wait seconds: 7\r\n"},
        {{"-W2", "-W0"}, "[T] Retry wait seconds: 2\r\n[T] Retry wait seconds: 5\r\n"},
        {{"-V"}, "[T] Verbose logging OK\r\n"},
        {{"-v"}, "[T] Verbose logging OK\r\n"},
        {{"-Vx"}, ""},       // whole-argument test: ignored
        {{"-R3"}, ""},       // prints nothing by itself
        {{"other"}, ""},     // unknown arguments are ignored
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        TempDir dir;
        BridgeProcess bridge(dir, withHelp(c.args));
        EXPECT_EQ(bridge.waitExit(10s), 0);
        EXPECT_EQ(maskStamps(bridge.output()), kBanner + c.printed + kHelp);
    }
}

TEST(StartupConfig, MissingConfigEndsWith255AndLogsOnlyWhenVerbose) {
    {
        TempDir dir;
        BridgeProcess bridge(dir);
        EXPECT_EQ(bridge.waitExit(10s), 255);
        EXPECT_EQ(maskStamps(bridge.output()), kBanner + "[T] Invalid config. Run setup.\n");
        EXPECT_FALSE(logExists(dir));
    }
    {
        TempDir dir;
        BridgeProcess bridge(dir, {"-V"});
        EXPECT_EQ(bridge.waitExit(10s), 255);
        EXPECT_EQ(maskStamps(bridge.output()),
                  kBanner + "[T] Verbose logging OK\r\n[T] Invalid config. Run setup.\n");
        EXPECT_EQ(logMessages(dir), std::vector<std::string>{"Invalid config. Run setup."});
    }
}

TEST(StartupConfig, ShortConfigIsRejectedLikeAMissingOne) {
    TempDir dir;
    int port = freePort();
    writeConfig(dir, ConfigOptions(std::to_string(port)));
    std::string image = readFile(dir.file("ulk.cfg"));
    ASSERT_EQ(image.size(), 1067u);
    writeFile(dir.file("ulk.cfg"), image.substr(0, 1000));

    BridgeProcess bridge(dir, {"-V", "-W1"});
    EXPECT_EQ(bridge.waitExit(10s), 255);
    EXPECT_EQ(maskStamps(bridge.output()), kBanner +
                                               "[T] Verbose logging OK\r\n[T] Retry wait seconds: 1\r\n"
                                               "[T] Invalid config. Run setup.\n");
    EXPECT_EQ(logMessages(dir), std::vector<std::string>{"Invalid config. Run setup."});
}

// Nothing listens on the port: every attempt is refused. Before the first
// link only ten attempts are made, whatever -R says, and no local listener
// is opened.
TEST(RetryPolicy, TenRefusedAttemptsBeforeFirstLinkThenExitZero) {
    TempDir dir;
    int port = freePort();
    const std::string portText = std::to_string(port);
    writeConfig(dir, ConfigOptions(portText));

    auto started = Clock::now();
    BridgeProcess bridge(dir, {"-W1", "-R3"});
    ASSERT_TRUE(bridge.waitForOutput("Retry 1 of 10...", 10s));
    EXPECT_FALSE(localPortAccepts(port)) << "local listener open before any handshake";
    std::optional<int> code = bridge.waitExit(30s);
    auto elapsed = Clock::now() - started;
    ASSERT_TRUE(code.has_value()) << bridge.output();
    EXPECT_EQ(*code, 0);
    // Ten waits of one second each.
    EXPECT_GE(elapsed, 9500ms);

    const std::string out = bridge.output();
    std::vector<std::string> retries;
    for (const std::string& line : stampedLines(out)) {
        if (line.rfind("Retry ", 0) == 0 && line != "Retry wait seconds: 1") retries.push_back(line);
    }
    std::vector<std::string> expectedRetries;
    for (int i = 1; i <= 10; ++i) expectedRetries.push_back("Retry " + std::to_string(i) + " of 10...");
    EXPECT_EQ(retries, expectedRetries);
    EXPECT_EQ(countOccurrences(out, "] Retry "), 11u) << "ten retry lines and the wait line";
    EXPECT_EQ(countOccurrences(out, "...\r\n\n"), 10u) << "retry lines end in \\r\\n plus the line end";

    const std::vector<std::string> lines = stampedLines(out);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Max connection retries: 3"), 1);
    const std::string refused = bridgeError(BridgeOsError::ConnectionRefused);
    EXPECT_EQ(countOccurrences(out, "] Starting up...\n"), 10u);
    // The open "Connecting to" text is completed by the failure, then the verdict follows.
    EXPECT_EQ(countOccurrences(out, "] Connecting to 127.0.0.2:" + portText +
                                        "...connect failed with error: " + refused + ". \nUnable to connect to server!\n"),
              10u);
    EXPECT_EQ(out.find("Ready for clients."), std::string::npos);
    EXPECT_EQ(out.find("Sending handshake"), std::string::npos);

    std::vector<std::string> expectedLog;
    for (int i = 1; i <= 10; ++i) {
        expectedLog.push_back("connect failed with error: " + refused + ". ");
        expectedLog.push_back("Unable to connect to server!");
        expectedLog.push_back("Retry " + std::to_string(i) + " of 10...");
    }
    EXPECT_EQ(logMessages(dir), expectedLog);
}

TEST(RetryPolicy, UnresolvableHostIsReportedAndRetried) {
    if (!privateResolverAvailable()) GTEST_SKIP() << "needs unshare and mount for a DNS-free resolver";
    TempDir dir;
    const std::string portText = std::to_string(freePort());
    writeConfig(dir, ConfigOptions(portText).withHost("no-such-host.invalid"));
    ProcessOptions options;
    options.wrapper = privateResolverWrapper(dir, "127.0.0.1 localhost\n");
    BridgeProcess bridge(dir, {"-W1"}, options);

    ASSERT_TRUE(bridge.waitForOutput("Retry 1 of 10...", 10s)) << bridge.output() << bridge.stderrOutput();
    const std::string out = bridge.output();
    std::smatch match;
    const std::regex completed("\\] Connecting to no-such-host\\.invalid:" + portText +
                               "\\.\\.\\.getaddrinfo failed with error: (-?[0-9]+)\n");
    ASSERT_TRUE(std::regex_search(out, match, completed)) << out;
    EXPECT_NE(match[1].str(), "0");
    EXPECT_EQ(out.find("Unable to connect to server!"), std::string::npos) << "no address was tried";

    ASSERT_TRUE(waitForLog(dir, "Retry 1 of 10...", 5s));
    std::vector<std::string> log = logMessages(dir);
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[0], "getaddrinfo failed with error: " + match[1].str());
    EXPECT_EQ(log[1], "Retry 1 of 10...");
    EXPECT_TRUE(bridge.running());
}
