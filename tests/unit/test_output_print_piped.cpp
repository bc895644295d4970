// Pipe colour codes and the timestamp prefix, seen through a capturing console sink.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "console_capture.h"
#include "output/print_piped.h"
#include "output/stamp_prefix.h"
#include "platform/system.h"

namespace kolv {
namespace {

using test::attrEvent;
using test::ConsoleEvent;
using test::ScopedCapture;
using test::textEvent;
using Events = std::vector<ConsoleEvent>;

Events piped(const char* text) {
    ScopedCapture capture;
    printPiped(text);
    return capture.events();
}

TEST(PrintPiped, OkCompletionSetsGreenThenGreyAroundTheText) {
    EXPECT_EQ(piped("|10OK|07\r\n"), (Events{attrEvent(10), textEvent("OK"), attrEvent(7), textEvent("\r\n")}));
}

TEST(PrintPiped, TextThatIsNotACodePrintsUnchanged) {
    // One digit, a bar near the end, a lone bar, non-digits, high-bit bytes.
    for (const char* text : {"|7x", "A|1", "|", "ab|0", "|1a", "|a1", "| 12", "|\xB1\xB2", "x|"}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(piped(text), (Events{textEvent(text)}));
    }
}

TEST(PrintPiped, DoubleBarPrintsOneBarThenColours) {
    EXPECT_EQ(piped("||12a"), (Events{textEvent("|"), attrEvent(12), textEvent("a")}));
}

TEST(PrintPiped, OnlyTwoDigitsBelongToTheCode) {
    EXPECT_EQ(piped("|123"), (Events{attrEvent(12), textEvent("3")}));
    // A code that is the whole text.
    EXPECT_EQ(piped("|12"), (Events{attrEvent(12)}));
}

TEST(PrintPiped, BackgroundCodesCombineWithTheCallsForeground) {
    EXPECT_EQ(piped("|17Hi"), (Events{attrEvent(23), textEvent("Hi")}));
    EXPECT_EQ(piped("|14|17X"), (Events{attrEvent(14), attrEvent(30), textEvent("X")}));
    // Background first, then foreground keeps that background.
    EXPECT_EQ(piped("|20|09z"), (Events{attrEvent(71), attrEvent(73), textEvent("z")}));
    // The ends of both ranges.
    EXPECT_EQ(piped("|00|15|16|23"), (Events{attrEvent(0), attrEvent(15), attrEvent(15), attrEvent(127)}));
}

TEST(PrintPiped, OutOfRangeCodesRepeatTheCurrentState) {
    EXPECT_EQ(piped("|24"), (Events{attrEvent(7)}));
    EXPECT_EQ(piped("|99"), (Events{attrEvent(7)}));
    EXPECT_EQ(piped("|12|24x|99"), (Events{attrEvent(12), attrEvent(12), textEvent("x"), attrEvent(12)}));
    EXPECT_EQ(piped("|18|50"), (Events{attrEvent(39), attrEvent(39)}));
}

TEST(PrintPiped, EachCallStartsFromLightGreyOnBlack) {
    ScopedCapture capture;
    printPiped("|17");
    printPiped("|02x");
    printPiped("|24");
    EXPECT_EQ(capture.events(), (Events{attrEvent(23), attrEvent(2), textEvent("x"), attrEvent(7)}));
}

TEST(PrintPiped, EmptyTextAndPlainTextChangeNoAttribute) {
    EXPECT_TRUE(piped("").empty());
    EXPECT_EQ(piped("plain text, no codes\r\n"), (Events{textEvent("plain text, no codes\r\n")}));
}

TEST(PrintPiped, EveryCharacterBeforeACodeArrivesBeforeItsChange) {
    EXPECT_EQ(piped("ab|10cd|07ef|1"), (Events{textEvent("ab"), attrEvent(10), textEvent("cd"), attrEvent(7),
                                              textEvent("ef|1")}));
    // A long run before a code, then a code as the last three characters.
    std::string longRun(700, 'q');
    std::string text = longRun + "|11" + longRun + "|04";
    EXPECT_EQ(piped(text.c_str()), (Events{textEvent(longRun), attrEvent(11), textEvent(longRun), attrEvent(4)}));
}

TEST(StampPrefix, FormatsDateAndTimeWithColourCodes) {
    char buffer[41];
    formatStampPrefix(buffer, sizeof buffer, LocalTime{2025, 3, 5, 7, 8, 9});
    EXPECT_STREQ(buffer, "|07[|102025/03/05 07:08:09|07] ");
    formatStampPrefix(buffer, sizeof buffer, LocalTime{1999, 12, 31, 23, 59, 58});
    EXPECT_STREQ(buffer, "|07[|101999/12/31 23:59:58|07] ");
}

TEST(StampPrefix, FormattingIsCutToTheBuffer) {
    char buffer[16];
    std::memset(buffer, 'Z', sizeof buffer);
    formatStampPrefix(buffer, 10, LocalTime{2025, 3, 5, 7, 8, 9});
    EXPECT_STREQ(buffer, "|07[|1020");
    EXPECT_EQ(buffer[10], 'Z');
}

TEST(StampPrefix, PrintsTheCurrentTimeInGreyAndGreen) {
    LocalTime before = localTimeNow();
    ScopedCapture capture;
    stampPrefix();
    LocalTime after = localTimeNow();

    Events events = capture.events();
    ASSERT_EQ(events.size(), 6U);
    EXPECT_EQ(events[0], attrEvent(7));
    EXPECT_EQ(events[1], textEvent("["));
    EXPECT_EQ(events[2], attrEvent(10));
    EXPECT_EQ(events[4], attrEvent(7));
    EXPECT_EQ(events[5], textEvent("] "));

    // The printed time is one of the two readings around the call.
    auto plain = [](const LocalTime& t) {
        char buffer[41];
        formatStampPrefix(buffer, sizeof buffer, t);
        std::string s(buffer);
        return s.substr(7, s.size() - 7 - 5);  // between "|07[|10" and "|07] "
    };
    EXPECT_TRUE(events[3].text == plain(before) || events[3].text == plain(after))
        << "printed " << events[3].text << ", expected " << plain(before) << " or " << plain(after);
    EXPECT_TRUE(std::regex_match(events[3].text, std::regex(R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2})")));
}

}  // namespace
}  // namespace kolv
