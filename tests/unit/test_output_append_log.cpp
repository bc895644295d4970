// The activity log: line format, message cleaning, whole lines under concurrency, unwritable places.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "output/append_log.h"
#include "output/bounded_format.h"
#include "platform/system.h"

namespace kolv {
namespace {

namespace fs = std::filesystem;

// Runs each test in a fresh scratch directory and returns to the old one after.
class AppendLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(::getcwd(oldDir_, sizeof oldDir_), nullptr);
        std::string pattern = (fs::temp_directory_path() / "kolv-log-XXXXXX").string();
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        ASSERT_NE(::mkdtemp(name.data()), nullptr);
        dir_ = name.data();
        ASSERT_EQ(::chdir(dir_.c_str()), 0);
    }

    void TearDown() override {
        ASSERT_EQ(::chdir(oldDir_), 0);
        if (!dir_.empty()) {
            ::chmod(dir_.c_str(), 0700);
            std::error_code ec;
            fs::remove_all(dir_, ec);
        }
    }

    static std::vector<std::string> readLines() {
        std::ifstream in(kLogFileName, std::ios::binary);
        std::stringstream all;
        all << in.rdbuf();
        std::string content = all.str();
        std::vector<std::string> lines;
        std::size_t start = 0;
        while (start < content.size()) {
            std::size_t end = content.find('\n', start);
            if (end == std::string::npos) {
                lines.push_back(content.substr(start) + "<no line feed>");
                break;
            }
            lines.push_back(content.substr(start, end - start));
            start = end + 1;
        }
        return lines;
    }

    static std::string content() {
        std::ifstream in(kLogFileName, std::ios::binary);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }

    std::string dir_;
    char oldDir_[PATH_MAX] = {};
};

const char* const kStamp = R"(\[\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\])";

std::string stampOf(const LocalTime& t) {
    char buffer[32];
    boundedFormat(buffer, sizeof buffer, "[%d/%02d/%02d %02d:%02d:%02d]", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
    return buffer;
}

TEST_F(AppendLogTest, WritesStampSourceAndMessage) {
    LocalTime before = localTimeNow();
    appendLog("Reconnection successful");
    LocalTime after = localTimeNow();

    std::string text = content();
    ASSERT_TRUE(std::regex_match(text, std::regex(std::string(kStamp) + " source=kolv-bridge Reconnection successful\n")))
        << text;
    std::string stamp = text.substr(0, text.find(']') + 1);
    EXPECT_TRUE(stamp == stampOf(before) || stamp == stampOf(after)) << stamp;
}

TEST_F(AppendLogTest, AppendsAndRemovesLineBreaksFromTheMessage) {
    appendLog("Retry 1 of 10...\r\n");
    appendLog("a\nb\r\nc\rd");
    appendLog("\r\n\n\r");
    auto lines = readLines();
    ASSERT_EQ(lines.size(), 3U);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(std::string(kStamp) + R"( source=kolv-bridge Retry 1 of 10\.\.\.)")))
        << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(std::string(kStamp) + " source=kolv-bridge abcd"))) << lines[1];
    EXPECT_TRUE(std::regex_match(lines[2], std::regex(std::string(kStamp) + " source=kolv-bridge "))) << lines[2];
}

TEST_F(AppendLogTest, EmptyMessageEndsInTheSourceAndOneSpace) {
    appendLog("");
    std::string text = content();
    EXPECT_TRUE(std::regex_match(text, std::regex(std::string(kStamp) + " source=kolv-bridge \n"))) << text;
}

TEST_F(AppendLogTest, PercentTildesAndPipeCodesAreWrittenLiterally) {
    const std::string message = "100% %s %d %n ~NOTME~ |10green|07 \\ done";
    appendLog(message.c_str());
    auto lines = readLines();
    ASSERT_EQ(lines.size(), 1U);
    const std::string expectedTail = " source=kolv-bridge " + message;
    ASSERT_GE(lines[0].size(), expectedTail.size());
    EXPECT_EQ(lines[0].substr(lines[0].size() - expectedTail.size()), expectedTail);
    EXPECT_TRUE(std::regex_match(lines[0].substr(0, lines[0].size() - expectedTail.size()), std::regex(kStamp)));
}

TEST_F(AppendLogTest, LongMessageIsCutTo511Characters) {
    std::string message;
    for (int i = 0; i < 600; ++i) message.push_back(static_cast<char>('a' + i % 26));
    appendLog(message.c_str());
    auto lines = readLines();
    ASSERT_EQ(lines.size(), 1U);
    const std::string expectedTail = " source=kolv-bridge " + message.substr(0, 511);
    ASSERT_TRUE(std::regex_match(lines[0].substr(0, lines[0].size() - expectedTail.size()), std::regex(kStamp)))
        << lines[0];
    EXPECT_EQ(lines[0].substr(lines[0].size() - expectedTail.size()), expectedTail);
}

TEST(CleanLogMessage, DropsLineBreaksAndCountsOnlyKeptCharacters) {
    char out[8];
    cleanLogMessage("a\r\nb\nc\r", out, sizeof out);
    EXPECT_STREQ(out, "abc");
    cleanLogMessage("\n\n\n\n\n\n\n\n\nabcdefghij", out, sizeof out);
    EXPECT_STREQ(out, "abcdefg");
    cleanLogMessage("xyz", out, 1);
    EXPECT_STREQ(out, "");
}

TEST_F(AppendLogTest, ManyThreadsWriteOnlyWholeLines) {
    constexpr int kThreads = 16;
    constexpr int kCallsEach = 500;
    const std::string padding(120, '=');
    {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([t, &padding] {
                for (int i = 0; i < kCallsEach; ++i) {
                    std::string message = "t" + std::to_string(t) + " n" + std::to_string(i) + " " + padding;
                    appendLog(message.c_str());
                }
            });
        }
        for (auto& thread : threads) thread.join();
    }

    auto lines = readLines();
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kCallsEach));
    const std::regex whole(std::string(kStamp) + R"( source=kolv-bridge t(\d+) n(\d+) )" + padding);
    std::vector<std::set<int>> numbers(kThreads);
    int broken = 0;
    for (const auto& line : lines) {
        std::smatch m;
        if (!std::regex_match(line, m, whole)) {
            if (++broken <= 3) ADD_FAILURE() << "broken line: " << line;
            continue;
        }
        int t = std::stoi(m[1].str());
        ASSERT_GE(t, 0);
        ASSERT_LT(t, kThreads);
        numbers[static_cast<std::size_t>(t)].insert(std::stoi(m[2].str()));
    }
    EXPECT_EQ(broken, 0);
    for (int t = 0; t < kThreads; ++t) {
        const auto& got = numbers[static_cast<std::size_t>(t)];
        EXPECT_EQ(got.size(), static_cast<std::size_t>(kCallsEach)) << "thread " << t;
        if (!got.empty()) {
            EXPECT_EQ(*got.begin(), 0);
            EXPECT_EQ(*got.rbegin(), kCallsEach - 1);
        }
    }
}

TEST_F(AppendLogTest, UnwritableLogIsSkippedSilently) {
    if (::geteuid() == 0) {
        // Permissions do not stop root: a directory in the log's place makes the open fail.
        ASSERT_EQ(::mkdir(kLogFileName, 0700), 0);
        appendLog("must not be written");
        EXPECT_TRUE(fs::is_directory(kLogFileName));
        EXPECT_TRUE(fs::is_empty(kLogFileName));
        EXPECT_EQ(std::distance(fs::directory_iterator("."), fs::directory_iterator()), 1);
    } else {
        ASSERT_EQ(::chmod(".", 0500), 0);
        appendLog("must not be written");
        EXPECT_FALSE(fs::exists(kLogFileName));
        ASSERT_EQ(::chmod(".", 0700), 0);
    }
    // The process carries on and logs again once the place is usable.
    if (fs::is_directory(kLogFileName)) fs::remove(kLogFileName);
    appendLog("after");
    auto lines = readLines();
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(std::string(kStamp) + " source=kolv-bridge after"))) << lines[0];
}

}  // namespace
}  // namespace kolv
