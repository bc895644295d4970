// Edge cases of the pure text functions that are awkward to reach from the
// outside: colour codes, site names, packet utilities, formatting, the
// configuration image and the latency tracker.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "config/bridge_config.h"
#include "app/options.h"
#include "output/append_log.h"
#include "output/bounded_format.h"
#include "output/print_piped.h"
#include "output/stamp_prefix.h"
#include "output/visible_text.h"
#include "packet/packet_text.h"
#include "packet/latency_tracker.h"
#include "platform/system.h"
#include "capture.h"

namespace kolv {
namespace {

// Text as written, each colour change as "{attribute}".

TEST(Text, PrintPipedTurnsCodesIntoColours) {
    const std::pair<std::vector<const char*>, const char*> kCases[] = {
        {{"|10OK|07\r\n"}, "{10}OK{7}\r\n"},
        {{"|7x", "A|1", "|", "ab|0", "|1a", "|a1", "|\xB1\xB2", "x|"}, "|7xA|1|ab|0|1a|a1|\xB1\xB2x|"},
        {{"||12a"}, "|{12}a"},
        {{"|123", "|12"}, "{12}3{12}"},
        {{"|17Hi", "|14|17X", "|20|09z"}, "{23}Hi{14}{30}X{71}{73}z"},
        {{"|00|15|16|23"}, "{0}{15}{15}{127}"},
        {{"|24", "|99", "|12|24x|99", "|18|50"}, "{7}{7}{12}{12}x{12}{39}{39}"},
        {{"|17", "|02x", ""}, "{23}{2}x"},  // every call starts from grey on black
    };
    for (const auto& [inputs, expected] : kCases) {
        Capture console(true);
        for (const char* text : inputs) printPiped(text);
        EXPECT_EQ(console.text, expected) << inputs.front();
    }
    char prefix[41];
    formatStampPrefix(prefix, sizeof prefix, LocalTime{2025, 3, 5, 7, 8, 9});
    EXPECT_STREQ(prefix, "|07[|102025/03/05 07:08:09|07] ");
}

TEST(Text, ConfigurationTexts) {
    const std::pair<const char*, const char*> kCases[] = {
        {"|10The |14Dark~Side Place", "The_DarkSide_Place"},
        {"|07|15", ""},
        {"|7x and |1", "|7x_and_|1"},
        {"A|123~", "A3"},
        {"|~12b", "b"},  // "~" goes before codes are read
        {"|01|02|03|04|05|06|07|08|09|10 a b c d e f g h i j k l m n o p", "_a_b_c_d_e_f_g_h_i_j_k_l_m_n_o"},
    };
    for (const auto& [configured, cleaned] : kCases) {
        char out[140];
        cleanSiteName(configured, out, sizeof out);
        EXPECT_STREQ(out, cleaned) << configured;
    }
    std::vector<unsigned char> image(sizeof(BridgeConfig) + 10, 'Q');
    BridgeConfig config{};
    ASSERT_TRUE(parseBridgeConfig(image.data(), image.size(), config));
    // Fields without their terminator are cut at their size minus one.
    EXPECT_EQ(std::strlen(config.host), 79u);
    EXPECT_EQ(std::strlen(config.port), 5u);
    EXPECT_EQ(std::strlen(config.siteName), 139u);
    EXPECT_EQ(std::strlen(config.infoDsc), 139u);
    EXPECT_EQ(leadingDecimal("99999999999"), INT_MAX);
    EXPECT_EQ(leadingDecimal("-99999999999"), INT_MIN);
}

TEST(Text, PacketUtilities) {
    char packet[kPacketBufferSize];
    formatPacket(packet, "a", "b", "c", "d", "e", "f", std::string(600, 'b').c_str());
    EXPECT_EQ(std::string(packet), "a~b~c~d~e~f~" + std::string(500, 'b')) << "cut at 512 characters";
    const std::pair<std::pair<const char*, const char*>, std::string> kRemovals[] = {
        {{"aaa", "aa"}, "a"}, {{"aabb", "ab"}, "ab"}, {{"xab", "abc"}, "xab"}, {{"a~\nb~\n", "\n"}, "a~b~"}};
    for (const auto& [input, expected] : kRemovals) EXPECT_EQ(removeAll(input.first, input.second), expected);
    EXPECT_EQ(removeAll(std::string(600, 'z').c_str(), "\n"), std::string(511, 'z'));
    EXPECT_EQ(splitFields("a~b~~d~", '~'), (std::vector<std::string>{"a", "b", "", "d", ""}));
    EXPECT_EQ(splitFields("", '~'), std::vector<std::string>{""});
    EXPECT_EQ(packetChecksum("A~\n\xE9"), 201 - 23);
    const std::pair<const char*, bool> kWhole[] = {
        {"a~b~~~~~c~", true}, {"~~~~~~~", true}, {"a~b~~~~~c", false}, {"a~b~~~~~c~~", false}, {"~~~~~~", false}};
    for (const auto& [text, whole] : kWhole) EXPECT_EQ(isWholePacket(text), whole) << text;
    // The platform clock speaks Unix milliseconds on every system.
    const auto unixNow = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch()).count();
    EXPECT_NEAR(static_cast<double>(nowUnixMs()), static_cast<double>(unixNow), 1000.0);
    char buffer[8];
    EXPECT_EQ(boundedFormat(buffer, sizeof buffer, "%s", "1234567"), 7);
    EXPECT_EQ(boundedFormat(buffer, sizeof buffer, "%s", "12345678"), -1);
    EXPECT_STREQ(buffer, "1234567");
    cleanLogMessage(std::string(600, '\n').append(600, 'c').c_str(), packet, 512);
    EXPECT_EQ(std::string(packet), std::string(511, 'c'));
}

// Well-formed UTF-8 at the edges of each lead byte's ranges passes whole,
// U+0080..U+009F never; just outside those ranges, cut short or after a bad
// lead, bytes go one by one and 0x80..0x9F is escaped. The cap cuts only
// between escapes and sequences.
TEST(Text, VisibleTextEscapesControls) {
    const std::size_t all = std::string::npos;
    const std::tuple<std::string, LineEnds, std::size_t, std::string> kCases[] = {
        {"a\tb\r\nc\rd\ne\x1b[0m\x7f\x01\n\r", LineEnds::Keep, all, "a\tb\r\nc\\x0dd\ne\\x1b[0m\\x7f\\x01\n\\x0d"},
        {"a\r\nb\x1f\t", LineEnds::Drop, all, "ab\\x1f\t"},
        {"\xc2\xa0|\xdf\x80|\xe0\xa0\x80|\xed\x9f\x80|\xef\x80\x80|\xf0\x90\x80\x80|\xf4\x8f\x80\x80|\xc2\x9f\xc2\x80",
         LineEnds::Keep, all,
         "\xc2\xa0|\xdf\x80|\xe0\xa0\x80|\xed\x9f\x80|\xef\x80\x80|\xf0\x90\x80\x80|\xf4\x8f\x80\x80|\\xc2\\x9f\\xc2\\x80"},
        {"\xc1\x80|\xe0\x9f\x80|\xed\xa0\x80|\xf0\x8f\x80|\xf4\x90\x80|\xf5\x80|\xe2\x80" "A|\x9b\xff|\xe2\x80", LineEnds::Keep, all,
         "\xc1\\x80|\xe0\\x9f\\x80|\xed\xa0\\x80|\xf0\\x8f\\x80|\xf4\\x90\\x80|\xf5\\x80|\xe2\\x80A|\\x9b\xff|\xe2\\x80"},
        {"ab\x1b", LineEnds::Drop, 5, "ab"},
        {"ab\x1b", LineEnds::Drop, 6, "ab\\x1b"},
        {"a\xe2\x82\xac", LineEnds::Drop, 3, "a"},
    };
    for (const auto& [text, ends, limit, shown] : kCases) EXPECT_EQ(visibleText(text, ends, limit), shown) << text;
    EXPECT_EQ(visibleText(std::string_view("a\xe2\x80\x80", 3), LineEnds::Keep), "a\xe2\\x80") << "cut by the text's end";
    char cleaned[512];
    cleanLogMessage(std::string(200, '\x1b').c_str(), cleaned, sizeof cleaned);
    std::string escapes;
    for (int i = 0; i < 127; ++i) escapes += "\\x1b";
    EXPECT_EQ(std::string(cleaned), escapes) << "cut at 511 characters, between escapes";
}

// A recorded packet may sum to -1 (bytes above 0x7F): free entries are told
// by their send time, so such a line never matches a free entry.
TEST(Text, LatencyTrackerEntries) {
    static LatencyTracker tracker;
    resetTracker(tracker);
    const char* minusOne = "\x80\xF7~\n";
    ASSERT_EQ(packetChecksum(minusOne), -1);
    std::int64_t sentAt = 0;
    EXPECT_FALSE(matchTrackedPacket(tracker, -1, nullptr, sentAt)) << "a free entry matched";
    trackPacket(tracker, "a", false);
    trackPacket(tracker, minusOne, false);
    trackPacket(tracker, "a", false);
    std::int64_t firstSent = 0;
    {
        MutexLock lock(tracker.mutex);
        EXPECT_EQ(tracker.entries[1].checksum, -1);
        EXPECT_NE(tracker.entries[2].sentAtMs, -1) << "the -1 entry was taken for free";
        firstSent = tracker.entries[0].sentAtMs;
    }
    EXPECT_TRUE(matchTrackedPacket(tracker, 'a', nullptr, sentAt));
    EXPECT_EQ(sentAt, firstSent) << "the lowest entry answers";
    {
        MutexLock lock(tracker.mutex);
        for (const auto& e : tracker.entries) EXPECT_EQ(e.sentAtMs, -1) << "every entry is freed on a match";
    }

    for (int i = 0; i < kTrackerSize + 5; ++i) trackPacket(tracker, "s", i == 3);
    EXPECT_TRUE(matchTrackedPacket(tracker, 999, "x STATS y", sentAt)) << "the statistics request";
    EXPECT_FALSE(matchTrackedPacket(tracker, 's', nullptr, sentAt));
    trackPacket(tracker, "b", false);
    EXPECT_FALSE(matchTrackedPacket(tracker, 1, "STAT", sentAt));
    EXPECT_TRUE(matchTrackedPacket(tracker, 'b', "", sentAt));
}

}  // namespace
}  // namespace kolv
