// The activity log: line format, message cleaning, whole lines under concurrency, unwritable places.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
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
#include "platform_facts.h"
#include "scratch_dir.h"

namespace kolv {
namespace {

namespace fs = std::filesystem;

// Runs each test in a fresh scratch directory and returns to the old one after.
class AppendLogTest : public ::testing::Test {
protected:
    void SetUp() override { scratch_.emplace("kolv-log-"); }

    void TearDown() override { scratch_.reset(); }

    // Lines end in the C runtime's text-mode line end of the platform.
    static std::vector<std::string> readLines() {
        const std::string lineEnd = testutil::textLineEnd();
        std::string all = content();
        std::vector<std::string> lines;
        std::size_t start = 0;
        while (start < all.size()) {
            std::size_t end = all.find(lineEnd, start);
            if (end == std::string::npos) {
                lines.push_back(all.substr(start) + "<no line end>");
                break;
            }
            lines.push_back(all.substr(start, end - start));
            start = end + lineEnd.size();
        }
        return lines;
    }

    static std::string content() {
        std::ifstream in(kLogFileName, std::ios::binary);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }

    std::optional<testutil::ScratchDir> scratch_;
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
    ASSERT_TRUE(std::regex_match(
        text, std::regex(std::string(kStamp) + " source=kolv-bridge Reconnection successful" + testutil::textLineEnd())))
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
    EXPECT_TRUE(std::regex_match(text, std::regex(std::string(kStamp) + " source=kolv-bridge " + testutil::textLineEnd())))
        << text;
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
    // A directory in the log's place makes the open fail, whatever the rights.
    ASSERT_TRUE(fs::create_directory(kLogFileName));
    appendLog("must not be written");
    EXPECT_TRUE(fs::is_directory(kLogFileName));
    EXPECT_TRUE(fs::is_empty(kLogFileName));
    EXPECT_EQ(std::distance(fs::directory_iterator("."), fs::directory_iterator()), 1);
    fs::remove(kLogFileName);

    // A read-only directory too, where rights stop this process (not for root,
    // nor where the read-only flag does not guard directories).
    fs::permissions(".", fs::perms::owner_read | fs::perms::owner_exec, fs::perm_options::replace);
    const bool enforced = !std::ofstream("probe").is_open();
    if (enforced) {
        appendLog("must not be written");
        EXPECT_FALSE(fs::exists(kLogFileName));
    }
    fs::permissions(".", fs::perms::owner_all, fs::perm_options::replace);
    std::error_code ignored;
    fs::remove("probe", ignored);

    // The process carries on and logs again once the place is usable.
    appendLog("after");
    auto lines = readLines();
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(std::string(kStamp) + " source=kolv-bridge after"))) << lines[0];
}

}  // namespace
}  // namespace kolv
