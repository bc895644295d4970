// The demo's road with the stand-ins: ulk-sim as the host, kolv-chat as a
// user: a relay echoed with a latency figure, a ping answered, a dropped
// link and the reconnect notice.
#include <regex>

#include "e2e/harness.h"

namespace kolvtest {
namespace {

TEST(Tools, SimulatorAndChatClientTakeTheDemosRoad) {
    Dir dir;
    const std::string port = std::to_string(freePort());
    Process sim(toolCommand("ulk-sim", {"--port", port, "--latency", "30", "--ping", "1", "--drop-after", "2",
                                        "--drop-once", "--exit-after", "30", "--stats", "7 users"}),
                dir);
    ASSERT_TRUE(sim.waitFor(port, 5s)) << sim.out() << sim.err();
    Config config(port);
    config.site = "Demo Board";
    writeConfig(dir, config);
    auto bridge = startBridge(dir);
    ASSERT_TRUE(sim.waitFor("CAPABILITIES: MCI CTCP", 10s)) << sim.out() << bridge->out();
    Process chat(toolCommand("kolv-chat", {"--port", port, "--user", "Alice", "--say", "hello", "--wait", "4000",
                                           "--raw"}),
                 dir);
    EXPECT_EQ(chat.exitCode(20s), 0) << chat.err();
    const std::string got = "\n" + chat.out();
    for (const char* line : {"\nSERVER~~~CLIENT~~~LATENCY:0~\n", "\nAlice~Local~~~~~hello~\n",
                             "\nSERVER~~~CLIENT~~~RECONNECT~\n"}) {
        EXPECT_NE(got.find(line), std::string::npos) << line << got;
    }
    EXPECT_TRUE(std::regex_search(got, std::regex("\nSERVER~~~CLIENT~~~LATENCY:[1-9][0-9]*~\n"))) << "the echo measured";
    EXPECT_TRUE(sim.waitFor("~IMALIVE:Demo Board~", 1s)) << "ping answered:\n" << sim.out();
    EXPECT_TRUE(sim.waitFor("~STATS~", 1s));
    EXPECT_EQ(dir.read("ulkstats.dat"), "7 users");
    auto log = logMessages(dir);
    EXPECT_NE(std::find(log.begin(), log.end(), "Reconnection successful"), log.end());
}

}  // namespace
}  // namespace kolvtest
