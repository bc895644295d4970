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
    // Long enough to hear the reconnect: the drop comes 2 s after the handshake, the retry 1 s later.
    const std::string wait = std::to_string(scaled(5s).count());
    Process chat(
        toolCommand("kolv-chat", {"--port", port, "--user", "Alice", "--say", "hello", "--wait", wait, "--raw"}), dir);
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

// ulk-sim --cert/--key presents that certificate: kolv-setup --pin-host, with
// ulk.cfg's TLS flag off, reads its pin. Files it cannot use stop it at once.
TEST(Tools, SimulatorPresentsTheCertificateItIsGiven) {
    Dir dir;
    dir.write("host.pem", hostKeyAndCertificatePem(HostMode::TlsFromTestCa));
    dir.write("other.pem", hostKeyAndCertificatePem(HostMode::Tls));
    const std::string port = std::to_string(freePort());
    const std::pair<const char*, std::string> faults[] = {
        {"other.pem", "the key in other.pem is not the key of the certificate in host.pem"},
        {"none.pem", "cannot use the private key in none.pem: No such file or directory"},
    };
    for (const auto& [key, said] : faults) {
        Process refused(toolCommand("ulk-sim", {"--port", port, "--tls", "--cert", "host.pem", "--key", key}), dir);
        EXPECT_EQ(refused.exitCode(5s), 2) << key;
        EXPECT_EQ(refused.err(), "ulk-sim: " + said + "\n");
    }
    Process sim(toolCommand("ulk-sim", {"--port", port, "--tls", "--cert", "host.pem", "--key", "host.pem"}), dir);
    ASSERT_TRUE(sim.waitFor(port, 5s)) << sim.out() << sim.err();
    writeConfig(dir, Config(port));
    Process setup(toolCommand("kolv-setup", {"--pin-host", "--yes"}), dir);
    EXPECT_EQ(setup.exitCode(10s), 0) << setup.err();
    EXPECT_NE(setup.out().find("Host certificate pin: " + hostPin(HostMode::TlsFromTestCa) + "\n"), std::string::npos)
        << setup.out();
}

// kolv-setup refuses a value the bridge cannot use, naming the option and its
// rule, and replaces an existing ulk.cfg only with --force; a refusal leaves
// the file as it was.
TEST(Tools, SetupRefusesWhatTheBridgeCannotUseAndKeepsAnExistingConfig) {
    struct Case {
        std::vector<std::string> args;  // after "--host h --port 7"
        bool existing;
        int exit;
        std::string err;  // its first line
    };
    const std::string port = "kolv-setup: --port takes a number from 1 to 65535, digits only; \"";
    const Case cases[] = {
        {{"--port", "abc"}, false, 2, port + "abc\" is not one\n"},
        {{"--port", "0"}, false, 2, port + "0\" is not one\n"},
        {{"--port=65536"}, false, 2, port + "65536\" is not one\n"},
        {{"--port", "123456"}, false, 2, port + "123456\" is not one\n"},
        {{"--port", " 80"}, false, 2, port + " 80\" is not one\n"},
        {{"--port="}, false, 2, port + "\" is not one\n"},
        {{"--host", ""}, false, 2, "kolv-setup: --host must not be empty\n"},
        {{"--host", std::string(80, 'h')}, false, 2, "kolv-setup: --host is 80 characters long; the field holds at most 79\n"},
        {{"--dsc", std::string(140, 'd')}, true, 2, "kolv-setup: --dsc is 140 characters long; the field holds at most 139\n"},
        {{"--port", "65535"}, true, 2, "kolv-setup: ulk.cfg exists; it is replaced only with --force\n"},
        {{"--force", "--port", "65535"}, true, 0, ""},
        {{"--port", "1"}, false, 0, ""},
        {{"--pin-host", "--force"}, true, 2, "kolv-setup: --pin-host takes no other option but --yes, and --yes needs it\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        Dir dir;
        if (c.existing) dir.write("ulk.cfg", "old");
        std::vector<std::string> args{"--host", "h", "--port", "7"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Process setup(toolCommand("kolv-setup", args), dir);
        EXPECT_EQ(setup.exitCode(10s), c.exit);
        EXPECT_EQ(setup.err().substr(0, c.err.size()), c.err);
        const std::string cfg = fs::exists(dir.path / "ulk.cfg") ? dir.read("ulk.cfg") : "";
        EXPECT_EQ(cfg.size(), c.exit == 0 ? 1067u : c.existing ? 3u : 0u);
        if (c.exit == 0) {
            EXPECT_EQ(cfg.substr(80, 6), c.args.back() + std::string(6 - c.args.back().size(), '\0'));
        }
    }
}

}  // namespace
}  // namespace kolvtest
