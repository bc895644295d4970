// The demo's road with the stand-ins: ulk-sim as the host, kolv-chat as a
// user: a relay echoed with a latency figure, a ping answered, a dropped
// link and the reconnect notice.
#include "e2e/harness.h"

namespace kolvtest {
namespace {

TEST(Tools, SimulatorAndChatClientTakeTheDemosRoad) {
    Dir dir;
    const std::string port = std::to_string(freePort());
    Process sim(toolCommand("ulk-sim", {"--port", port, "--latency", "30", "--ping", "1", "--drop-after", "2",
                                        "--drop-once", "--exit-after", "30", "--stats", "7 users"}),
                dir.path);
    ASSERT_TRUE(sim.waitFor(port, 5s)) << sim.out() << sim.err();
    Config config(port);
    config.site = "Demo Board";
    writeConfig(dir, config);
    auto bridge = startBridge(dir);
    ASSERT_TRUE(sim.waitFor("CAPABILITIES: MCI CTCP", 10s)) << sim.out() << bridge->out();
    Process chat(toolCommand("kolv-chat", {"--port", port, "--user", "Alice", "--say", "hello", "--wait", "4000",
                                           "--raw"}),
                 dir.path);
    EXPECT_EQ(chat.exitCode(20s), 0) << chat.err();
    const std::vector<std::string> got = lines(chat.out());
    auto has = [&](const std::string& line) { return std::find(got.begin(), got.end(), line) != got.end(); };
    EXPECT_TRUE(has("SERVER~~~CLIENT~~~LATENCY:0~")) << chat.out();
    EXPECT_TRUE(has("Alice~Local~~~~~hello~")) << "the echo";
    EXPECT_TRUE(has("SERVER~~~CLIENT~~~RECONNECT~")) << chat.out();
    auto latency = std::find_if(got.begin(), got.end(), [](const std::string& line) {
        return line.rfind("SERVER~~~CLIENT~~~LATENCY:", 0) == 0 && line != "SERVER~~~CLIENT~~~LATENCY:0~";
    });
    EXPECT_NE(latency, got.end()) << "the echo was measured:\n" << chat.out();
    EXPECT_TRUE(sim.waitFor("~IMALIVE:Demo Board~", 1s)) << "ping answered:\n" << sim.out();
    EXPECT_TRUE(sim.waitFor("~STATS~", 1s));
    EXPECT_EQ(dir.read("ulkstats.dat"), "7 users");
    auto log = logMessages(dir);
    EXPECT_NE(std::find(log.begin(), log.end(), "Reconnection successful"), log.end());
}

}  // namespace
}  // namespace kolvtest
