// Console line forms: prefix, message and line end, and their atomicity across threads.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "console_capture.h"
#include "output/console_line.h"

namespace kolv {
namespace {

using test::attrEvent;
using test::ConsoleEvent;
using test::kRenderedStampPattern;
using test::ScopedCapture;
using test::textEvent;
using Events = std::vector<ConsoleEvent>;

bool matchesStamped(const std::string& rendered, const std::string& rest) {
    return std::regex_match(rendered, std::regex(std::string(kRenderedStampPattern) + rest));
}

TEST(ConsoleLine, PrefixMessageAndLineFeed) {
    ScopedCapture capture;
    consoleLine("Max connection retries: Infinite");
    EXPECT_TRUE(matchesStamped(capture.rendered(), "Max connection retries: Infinite\n")) << capture.rendered();
}

TEST(ConsoleLine, MessageIsWrittenAsIsWithoutReadingCodes) {
    ScopedCapture capture;
    consoleLine("a |10b|07 100% c");
    Events events = capture.events();
    ASSERT_EQ(events.size(), 6U);
    EXPECT_EQ(events[5], textEvent("] a |10b|07 100% c\n"));
    EXPECT_TRUE(matchesStamped(capture.rendered(), R"(a \|10b\|07 100% c)" "\n")) << capture.rendered();
}

TEST(ConsoleLine, EmptyMessageStillEndsTheLine) {
    ScopedCapture capture;
    consoleLine("");
    EXPECT_TRUE(matchesStamped(capture.rendered(), "\n")) << capture.rendered();
}

TEST(PlainLine, MessageAndLineFeedWithoutPrefixOrColour) {
    ScopedCapture capture;
    plainLine("|~|\\ x|12y\r\n");
    plainLine("");
    EXPECT_EQ(capture.events(), (Events{textEvent("|~|\\ x|12y\r\n\n\n")}));
}

TEST(OpenText, PrefixThenFormattedTextWithoutLineEnd) {
    ScopedCapture capture;
    openText("Connecting to %s:%s...", "host.invalid", "9000");
    EXPECT_TRUE(matchesStamped(capture.rendered(), R"(Connecting to host\.invalid:9000\.\.\.)")) << capture.rendered();
    printOk();
    EXPECT_TRUE(matchesStamped(capture.rendered(), R"(Connecting to host\.invalid:9000\.\.\.\{10\}OK\{7\})"
                                                   "\r\n"))
        << capture.rendered();
}

TEST(OpenText, LongFormattedTextIsWrittenWhole) {
    std::string longText(1500, 'L');
    longText += "END";
    ScopedCapture capture;
    openText("%s|%d", longText.c_str(), 42);
    std::string text = capture.text();
    ASSERT_GE(text.size(), longText.size() + 3);
    EXPECT_EQ(text.substr(text.size() - longText.size() - 3), longText + "|42");
}

TEST(ConsoleRaw, FormattedTextOnlyNoColourNoLineEnd) {
    ScopedCapture capture;
    consoleRaw("%d-%s|%c %lld 100%% %02d", 5, "a", 'z', -9000000000LL, 7);
    EXPECT_EQ(capture.events(), (Events{textEvent("5-a|z -9000000000 100% 07")}));
}

TEST(ConsoleRaw, TextLongerThanTheSmallBufferIsWrittenWhole) {
    // 511, 512 and 513 characters sit around the formatter's own buffer size.
    for (std::size_t length : {511U, 512U, 513U, 4000U}) {
        SCOPED_TRACE(length);
        std::string text(length, 'x');
        text[length - 1] = 'E';
        ScopedCapture capture;
        consoleRaw("%s", text.c_str());
        EXPECT_EQ(capture.text(), text);
    }
}

TEST(ConsoleLine, LinesFromManyThreadsAreNeverSplit) {
    constexpr int kThreads = 8;
    constexpr int kLinesEach = 200;
    ScopedCapture capture;
    {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([t] {
                for (int i = 0; i < kLinesEach; ++i) {
                    std::string message = "thread " + std::to_string(t) + " line " + std::to_string(i) +
                                          " with some padding to widen the window";
                    consoleLine(message.c_str());
                }
            });
        }
        for (auto& thread : threads) thread.join();
    }

    // Each line is exactly: {7} "[" {10} stamp {7} "] message\n", all from one thread.
    Events events = capture.events();
    ASSERT_EQ(events.size(), static_cast<std::size_t>(kThreads * kLinesEach * 6));
    const std::regex stamp(R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2})");
    const std::regex tail(R"(\] thread (\d+) line (\d+) with some padding to widen the window)" "\n");
    std::set<std::pair<int, int>> seen;
    for (std::size_t i = 0; i < events.size(); i += 6) {
        SCOPED_TRACE(i);
        ASSERT_EQ(events[i], attrEvent(7));
        ASSERT_EQ(events[i + 1], textEvent("["));
        ASSERT_EQ(events[i + 2], attrEvent(10));
        ASSERT_TRUE(std::regex_match(events[i + 3].text, stamp)) << events[i + 3].text;
        ASSERT_EQ(events[i + 4], attrEvent(7));
        std::smatch m;
        ASSERT_TRUE(std::regex_match(events[i + 5].text, m, tail)) << events[i + 5].text;
        for (std::size_t k = 1; k < 6; ++k) ASSERT_EQ(events[i + k].thread, events[i].thread);
        EXPECT_TRUE(seen.emplace(std::stoi(m[1].str()), std::stoi(m[2].str())).second) << events[i + 5].text;
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kLinesEach));
}

}  // namespace
}  // namespace kolv
