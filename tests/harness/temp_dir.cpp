#include "harness/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <system_error>
#include <thread>

#include "harness/process.h"

namespace kolvtest {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kolv-it-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) throw HarnessError("mkdtemp failed for " + pattern);
    path_ = buffer.data();
}

TempDir::~TempDir() {
    if (keep_ || ::testing::Test::HasFailure()) {
        std::fprintf(stderr, "[ harness  ] kept test directory %s\n", path_.c_str());
        return;
    }
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string readFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return {};
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::filesystem::path& file, std::string_view content) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) throw HarnessError("cannot write " + file.string());
}

std::string readLog(const std::filesystem::path& dir) {
    std::string log = readFile(dir / "kolv.log");
    if (bridgeLogLineEnd() == "\n") return log;
    std::string text;
    for (std::size_t at = 0; at < log.size();) {
        if (log.compare(at, 2, "\r\n") == 0) {
            text += '\n';
            at += 2;
        } else {
            text += log[at++];
        }
    }
    return text;
}

bool logExists(const std::filesystem::path& dir) {
    std::error_code ignored;
    return std::filesystem::exists(dir / "kolv.log", ignored);
}

std::vector<std::string> logMessages(const std::filesystem::path& dir) {
    static const std::regex kLine(R"(^\[\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\] source=kolv-bridge (.*)$)");
    std::vector<std::string> messages;
    const std::string log = readFile(dir / "kolv.log");  // as written: the line ends are checked
    const std::string lineEnd = bridgeLogLineEnd();
    std::size_t start = 0;
    while (start < log.size()) {
        std::size_t end = log.find(lineEnd, start);
        if (end == std::string::npos) {
            ADD_FAILURE() << "kolv.log does not end in a line end";
            end = log.size();
        }
        const std::string line = log.substr(start, end - start);
        start = end + lineEnd.size();
        std::smatch match;
        if (std::regex_match(line, match, kLine)) {
            messages.push_back(match[1].str());
        } else {
            ADD_FAILURE() << "malformed kolv.log line: \"" << line << "\"";
            messages.push_back(line);
        }
    }
    return messages;
}

bool waitForLog(const std::filesystem::path& dir, std::string_view needle, Millis timeout, std::size_t count) {
    auto deadline = deadlineAfter(timeout);
    // The log is a file written by another process: poll it.
    for (;;) {
        if (countOccurrences(readLog(dir), needle) >= count) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(Millis(10));
    }
}

void writeConfig(const std::filesystem::path& dir, const ConfigOptions& options) {
    if (options.port.empty()) throw HarnessError("writeConfig: no port");
    std::vector<std::string> argv = {setupToolPath(), "--host", options.host, "--port", options.port,
                                     "--site", options.site, "--software", options.software};
    if (options.tls) argv.push_back("--tls");
    const std::pair<const char*, const std::string*> infos[] = {
        {"--web", &options.web}, {"--tel", &options.tel}, {"--ssh", &options.ssh},
        {"--sys", &options.sys}, {"--dsc", &options.dsc},
    };
    for (const auto& [flag, value] : infos) {
        if (value->empty()) continue;
        argv.push_back(flag);
        argv.push_back(*value);
    }
    argv.push_back("ulk.cfg");
    ProcessResult result = runProcess(argv, dir);
    std::error_code error;
    auto size = std::filesystem::file_size(dir / "ulk.cfg", error);
    if (result.exitCode != 0 || error || size != 1067) {
        throw HarnessError("kolv-setup failed (exit " + std::to_string(result.exitCode) + "): " + result.output +
                           result.errorOutput);
    }
}

}  // namespace kolvtest
