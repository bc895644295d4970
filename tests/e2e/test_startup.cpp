// Start-up: options, banner and help, configuration, and the retry policy
// before the first link.
#include <fstream>
#include <regex>

#include "e2e/harness.h"

namespace kolvtest {
namespace {

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
    "-W[n]  Number of seconds before retrying. Default=5.\n"
    "--version  Print the version and exit.\n";
const std::string kVerbose = "[T] Verbose logging OK\r\n";
const std::string kInvalid = "[T] Invalid config. Run kolv-setup.\n";

std::string masked(const std::string& out) {
    return std::regex_replace(out, std::regex(R"(\[\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\] )"), "[T] ");
}

enum class Cfg { None, Whole, Short, WholeTls };

struct Case {
    std::vector<std::string> args;
    Cfg cfg;
    int exit;
    std::string printed;  // after the banner, stamps as "[T] "
    std::vector<std::string> log;
    std::string pins = "";  // ulk.pin, when not empty
    void (*makePinFile)(const fs::path&) = nullptr;  // an ulk.pin that cannot be read as a file
    bool asNobody = false;  // run as another user (root reads any file)
    bool banner = true;
};

// --version: one plain line, before the banner, and nothing else done.
Case version(std::vector<std::string> args, Cfg cfg) {
    return {std::move(args), cfg, 0, "Kolv-Bridge 103 (1.3.103)\n", {}, "", nullptr, false, false};
}

Case pinFault(const std::string& reason, void (*make)(const fs::path&), bool asNobody = false) {
    const std::string line = "Invalid ulk.pin, " + reason + ".";
    return {{}, Cfg::WholeTls, 255, "[T] " + line + "\n", {line}, "", make, asNobody};
}

const std::string kBadLine = "Invalid ulk.pin, line 4: expected \"sha256:\" and 64 hex digits, or \"verify\".";

const Case kCases[] = {
    {{"-?"}, Cfg::None, 0, kHelp, {}},
    {{"-?x"}, Cfg::None, 0, kHelp, {}},
    {{"-W2", "-V", "-?", "-W3", "-v", "-R1"}, Cfg::None, 0, "[T] Retry wait seconds: 2\r\n" + kVerbose + kHelp, {}},
    {{"-W0", "-W-3", "-W", "-w7", "-?"}, Cfg::None, 0,
     "[T] Retry wait seconds: 5\r\n[T] Retry wait seconds: 5\r\n[T] Retry wait seconds: 5\r\n"
     "[T] Retry wait seconds: 7\r\n" + kHelp, {}},
    {{"-v", "-Vx", "-R3", "other", "-?"}, Cfg::None, 0, kVerbose + kHelp, {}},
    {{"-h"}, Cfg::Whole, 0, kHelp, {}},
    {{"-hx", "--helpx", "-V", "-H", "-W2"}, Cfg::None, 0, kVerbose + kHelp, {}},
    {{"-W2", "--HELP", "--version"}, Cfg::Whole, 0, "[T] Retry wait seconds: 2\r\n" + kHelp, {}},
    version({"--version"}, Cfg::None),
    version({"-V", "-W2", "--VERSION", "-?"}, Cfg::Whole),
    {{}, Cfg::None, 255, kInvalid, {}},
    {{"-V"}, Cfg::None, 255, kVerbose + kInvalid, {"Invalid config. Run kolv-setup."}},
    {{"-V", "-W1"}, Cfg::Short, 255, kVerbose + "[T] Retry wait seconds: 1\r\n" + kInvalid,
     {"Invalid config. Run kolv-setup."}},
    {{}, Cfg::WholeTls, 255, "[T] " + kBadLine + "\n", {kBadLine}, "# ok\n\nverify\nsha1:00\n"},
    {{}, Cfg::WholeTls, 255, "[T] Invalid ulk.pin, line 1: expected \"sha256:\" and 64 hex digits, or \"verify\".\n",
     {"Invalid ulk.pin, line 1: expected \"sha256:\" and 64 hex digits, or \"verify\"."}, "sha256:" + std::string(63, 'a')},
    {{}, Cfg::WholeTls, 255, "[T] Invalid ulk.pin, no pin and no \"verify\" listed.\n",
     {"Invalid ulk.pin, no pin and no \"verify\" listed."}, "# only a comment\n"},
    {{}, Cfg::Whole, 255, "[T] ulk.pin needs TLS: turn TLS on in ulk.cfg.\n",
     {"ulk.pin needs TLS: turn TLS on in ulk.cfg."}, "verify\n"},
    pinFault("a link to nothing", [](const fs::path& pin) { fs::create_symlink("nowhere", pin); }),
    pinFault("a link loop", [](const fs::path& pin) { fs::create_symlink("ulk.pin", pin); }),
    pinFault("a folder", [](const fs::path& pin) { fs::create_directory(pin); }),
    pinFault("cannot be read: Permission denied", [](const fs::path& pin) {
        std::ofstream(pin) << "verify\n";
        fs::permissions(pin, fs::perms::owner_read | fs::perms::owner_write);
        fs::permissions(pin.parent_path(), fs::perms::all);  // the bridge's own files stay usable
    }, true),
};

TEST(Startup, OptionsHelpAndConfigurationPrintAndExitAsTable) {
    for (const Case& c : kCases) {
        // Wine runs as the owner of its prefix: another user cannot start the Windows bridge.
        if (c.asNobody && bridgeIsWindows()) continue;
        SCOPED_TRACE(::testing::PrintToString(c.args) + c.printed);
        Dir dir;
        Host host;  // none of these start-ups may reach it
        if (c.cfg != Cfg::None) writeConfig(dir, {host.portText(), c.cfg == Cfg::WholeTls});
        if (!c.pins.empty()) dir.write("ulk.pin", c.pins);
        if (c.makePinFile != nullptr) c.makePinFile(dir.path / "ulk.pin");
        if (c.cfg == Cfg::Short) dir.write("ulk.cfg", dir.read("ulk.cfg").substr(0, 1066));
        std::vector<std::string> nobody{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        auto bridge = startBridge(dir, c.args, c.asNobody ? nobody : std::vector<std::string>{});
        EXPECT_EQ(bridge->exitCode(10s), c.exit);
        EXPECT_EQ(masked(bridge->out()), (c.banner ? kBanner : "") + c.printed);
        EXPECT_EQ(logMessages(dir), c.log);
        EXPECT_TRUE(c.banner || !fs::exists(dir.path / "kolv.log")) << "--version wrote kolv.log";
        EXPECT_EQ(host.link(1, 100ms), nullptr) << "the bridge connected to the host";
    }
}

// Nothing listens: before the first link ten attempts are made, whatever -R
// says, no local listener opens, and the bridge ends with 0.
TEST(Startup, TenRefusedAttemptsBeforeTheFirstLinkThenExitZero) {
    Dir dir;
    const std::string port = std::to_string(freePort());
    writeConfig(dir, {port});
    auto bridge = startBridge(dir, {"-W1", "-R3"});
    ASSERT_TRUE(bridge->waitFor("Retry 1 of 10...", 10s));
    EXPECT_EQ(connectClient(std::stoi(port), 300ms), nullptr) << "listener open before any handshake";
    EXPECT_EQ(bridge->exitCode(40s), 0) << bridge->out();
    const std::string refused = std::to_string(osError("refused"));
    std::string attempt = "[T] Starting up...\n[T] Connecting to 127.0.0.2:" + port +
                          "...connect failed with error: " + refused + ". \nUnable to connect to server!\n";
    std::string expected = kBanner + "[T] Retry wait seconds: 1\r\n[T] Max connection retries: 3\r\n";
    std::vector<std::string> log;
    for (int i = 1; i <= 10; ++i) {
        expected += attempt + "[T] Retry " + std::to_string(i) + " of 10...\r\n\n";
        log.insert(log.end(), {"connect failed with error: " + refused + ". ", "Unable to connect to server!",
                               "Retry " + std::to_string(i) + " of 10..."});
    }
    EXPECT_EQ(masked(bridge->out()), expected);
    EXPECT_EQ(logMessages(dir), log);
}

// A folder the bridge cannot write (a read-only mount: root too is refused):
// one line at start for kolv.log, one at the first STATS text it cannot keep,
// and the bridge links and relays as ever. Wine's server opens files outside
// any private mount: there, folders in the files' places refuse them alike.
TEST(Startup, UnwritableFolderIsSaidOnceAndTheBridgeGoesOn) {
    Dir dir;
    Host host;
    writeConfig(dir, Config(host.portText()));
    const std::string readOnly = "mount --bind . . && mount -o remount,bind,ro . && cd \"$PWD\" && exec \"$0\" \"$@\"";
    std::vector<std::string> prefix{"unshare", "-m", "sh", "-c", readOnly};
    if (bridgeIsWindows()) {
        prefix.clear();
        fs::create_directory(dir.path / "kolv.log");
        fs::create_directory(dir.path / "ulkstats.dat");
    }
    auto bridge = startBridge(dir, {"-W1"}, prefix);
    auto link = host.link(1);
    ASSERT_NE(link, nullptr) << bridge->out();
    ASSERT_EQ(link->readSome(5s), expectedHandshake());
    auto client = connectClient(host.port());
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(client->send(chat("Amy", "hi")));
    EXPECT_EQ(link->readLine(5s), chat("Amy", "hi"));
    ASSERT_TRUE(link->send("SERVER~~~~~~STATS:1 2~\nSERVER~~~~~~STATS:3 4~\n" + chat("Bob", "yo")));
    EXPECT_EQ(readUntil(*client, chat("Bob", "yo")).back(), chat("Bob", "yo"));
    const std::string name = dir.path.filename().string();
    for (const std::string& said : {"kolv.log in [^\n]*" + name + ": [^\n]+\\. Running without a log\\.\n",
                                    "ulkstats.dat in [^\n]*" + name + ": [^\n]+\\. Host statistics are not saved\\.\n"}) {
        const std::string out = bridge->out();
        const std::regex line("\\] Cannot write " + said);
        EXPECT_EQ(std::distance(std::sregex_iterator(out.begin(), out.end(), line), std::sregex_iterator()), 1) << out;
    }
    EXPECT_FALSE(fs::is_regular_file(dir.path / "kolv.log") || fs::is_regular_file(dir.path / "ulkstats.dat"));
}

}  // namespace
}  // namespace kolvtest
