#include "ulk_sim_commands.h"

#include <cstdio>
#include <string>

#include "ulk_sim_link.h"
#include "ulk_sim_shutdown.h"
#include "ulk_sim_sites.h"
#include "ulk_sim_trace.h"

namespace ulksim {
namespace {

const char* kCommandHelp = "commands: drop | say TEXT | ping | hello | sites | quit";

void sendToReadySites(const std::string& packet) {
    std::size_t count = 0;
    for (const auto& site : siteSnapshot()) {
        if (!site->ready.load()) continue;
        sendHostPacket(*site, packet);
        ++count;
    }
    if (count == 0) report("no site is connected");
}

void listSites() {
    auto sites = siteSnapshot();
    report(std::to_string(sites.size()) + " connected");
    for (const auto& site : sites) {
        std::string shown = site->ready.load() ? " \"" + printable(site->handshake) + "\"" : " (no handshake yet)";
        report(siteTag(*site) + shown);
    }
}

void runCommand(const std::string& line) {
    std::string command = line.substr(0, line.find(' '));
    std::string rest = line.size() > command.size() ? line.substr(command.size() + 1) : std::string();
    if (command.empty()) return;
    if (command == "drop") {
        report("dropping every site");
        requestDropAll();
    } else if (command == "say") {
        sendToReadySites(rest.find('~') != std::string::npos ? rest : "Host~ulk-sim~~~~~" + rest + "~");
    } else if (command == "ping") {
        sendToReadySites("SERVER~~~~~~ping~");
    } else if (command == "hello") {
        sendToReadySites("SERVER~~~~~~HELLO~");
    } else if (command == "sites") {
        listSites();
    } else if (command == "quit" || command == "exit") {
        finish("quit");
    } else {
        report("unknown command \"" + printable(line) + "\"; " + kCommandHelp);
    }
}

}  // namespace

void stdinLoop() {
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, stdin) != nullptr) {
        std::string line = buffer;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        runCommand(line);
    }
    report("standard input closed; commands are off, still running");
}

}  // namespace ulksim
