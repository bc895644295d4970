// Packet text: building, pattern removal, field splitting, checksums and clock conversion.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "packet/format_packet.h"
#include "packet/packet_checksum.h"
#include "packet/remove_all.h"
#include "packet/split_fields.h"

namespace kolv {
namespace {

using Pieces = std::vector<std::string>;

std::string packet(const char* fromUser, const char* fromSite, const char* fromAux, const char* toUser,
                   const char* toSite, const char* toAux, const char* body) {
    char out[kPacketBufferSize];
    std::memset(out, '#', sizeof out);
    formatPacket(out, fromUser, fromSite, fromAux, toUser, toSite, toAux, body);
    EXPECT_NE(std::memchr(out, '\0', sizeof out), nullptr) << "packet buffer not terminated";
    return std::string(out, strnlen(out, sizeof out));
}

TEST(FormatPacket, SevenEmptyFields) {
    EXPECT_EQ(packet("", "", "", "", "", "", ""), "~~~~~~~\n");
}

TEST(FormatPacket, FieldsInOrderEachClosedByTilde) {
    std::string text = packet("SERVER", "", "", "CLIENT", "", "", "RECONNECT");
    EXPECT_EQ(text, "SERVER~~~CLIENT~~~RECONNECT~\n");
    EXPECT_EQ(text.size(), 29U);
    EXPECT_EQ(packet("u", "s", "a", "U", "S", "A", "|08- u has disconnected. 100%"),
              "u~s~a~U~S~A~|08- u has disconnected. 100%~\n");
}

TEST(FormatPacket, CutAt512Characters) {
    // 6 tildes between fields, then body, "~" and "\n": exactly 512 fits whole.
    std::string fits(512 - 8, 'b');
    std::string whole = packet("", "", "", "", "", "", fits.c_str());
    EXPECT_EQ(whole.size(), 512U);
    EXPECT_EQ(whole.substr(whole.size() - 2), "~\n");

    std::string oneOver(512 - 7, 'b');
    std::string cut = packet("", "", "", "", "", "", oneOver.c_str());
    EXPECT_EQ(cut, "~~~~~~" + oneOver + "~");

    std::string longBody(600, 'x');
    std::string longCut = packet("user", "site", "", "", "", "", longBody.c_str());
    EXPECT_EQ(longCut.size(), 512U);
    EXPECT_EQ(longCut, ("user~site~~~~~" + longBody).substr(0, 512));
    EXPECT_EQ(longCut.find('\n'), std::string::npos);
}

TEST(RemoveAll, ScansLeftToRightWithoutOverlapOrRescan) {
    EXPECT_EQ(removeAll("aaa", "aa"), "a");
    EXPECT_EQ(removeAll("aabb", "ab"), "ab");
    EXPECT_EQ(removeAll("aaaa", "aa"), "");
    EXPECT_EQ(removeAll("xaby", "ab"), "xy");
    EXPECT_EQ(removeAll("abab", "ab"), "");
}

TEST(RemoveAll, EmptyTextOrPatternTooLongOrRunningPastTheEnd) {
    EXPECT_EQ(removeAll("", "\n"), "");
    EXPECT_EQ(removeAll("ab", "abc"), "ab");
    EXPECT_EQ(removeAll("xab", "abc"), "xab");
    EXPECT_EQ(removeAll("no match here", "~NOTME~"), "no match here");
}

TEST(RemoveAll, LineFeedsOfPackets) {
    EXPECT_EQ(removeAll("a~b~c~d~e~f~g~\n", "\n"), "a~b~c~d~e~f~g~");
    EXPECT_EQ(removeAll("a~~~~~~1~\nb~~~~~~2~\nc~~~~~~3~\n", "\n"), "a~~~~~~1~b~~~~~~2~c~~~~~~3~");
}

TEST(RemoveAll, ResultIsCutAt511Characters) {
    std::string plain(512, 'p');
    EXPECT_EQ(removeAll(plain.c_str(), "\n"), std::string(511, 'p'));

    // What is removed does not count towards the limit.
    std::string withBreaks;
    for (int i = 0; i < 510; ++i) withBreaks += (i % 51 == 0) ? "\nq" : "q";
    EXPECT_EQ(removeAll(withBreaks.c_str(), "\n"), std::string(510, 'q'));

    std::string longer(2000, 'r');
    EXPECT_EQ(removeAll(longer.c_str(), "~"), std::string(511, 'r'));
}

TEST(RemoveAll, EmptyPatternGivesACopy) {
    EXPECT_EQ(removeAll("abc~\n", ""), "abc~\n");
    EXPECT_EQ(removeAll("", ""), "");
    std::string longer(600, 's');
    EXPECT_EQ(removeAll(longer.c_str(), ""), std::string(511, 's'));
}

TEST(SplitFields, EverySeparatorIsABoundary) {
    EXPECT_EQ(splitFields("a~b~~d~", '~'), (Pieces{"a", "b", "", "d", ""}));
    EXPECT_EQ(splitFields("~a", '~'), (Pieces{"", "a"}));
    EXPECT_EQ(splitFields("", '~'), (Pieces{""}));
    EXPECT_EQ(splitFields("no separator", '~'), (Pieces{"no separator"}));
    EXPECT_EQ(splitFields("~~~~~~", '~'), (Pieces(7, "")));
}

TEST(SplitFields, PacketsSplitIntoFieldsAndLines) {
    EXPECT_EQ(splitFields("u~s~a~U~S~A~body~\n", '~'), (Pieces{"u", "s", "a", "U", "S", "A", "body", "\n"}));
    EXPECT_EQ(splitFields("u~s~a~U~S~A~body~", '~'), (Pieces{"u", "s", "a", "U", "S", "A", "body", ""}));
    EXPECT_EQ(splitFields("1~2~3~4~5~6~rest of it", '~'), (Pieces{"1", "2", "3", "4", "5", "6", "rest of it"}));
    EXPECT_EQ(splitFields("p1~\np2~\npart", '\n'), (Pieces{"p1~", "p2~", "part"}));
}

TEST(SplitFields, CountIsSeparatorsPlusOneForLongTexts) {
    std::string text;
    for (int i = 0; i < 1000; ++i) text += "f~";
    Pieces pieces = splitFields(text, '~');
    ASSERT_EQ(pieces.size(), 1001U);
    EXPECT_EQ(countChar(text, '~'), 1000U);
    EXPECT_EQ(pieces[999], "f");
    EXPECT_EQ(pieces[1000], "");
}

TEST(PacketChecksum, SumsBytesAsSignedValues) {
    EXPECT_EQ(packetChecksum(""), 0);
    EXPECT_EQ(packetChecksum("A~\n"), 201);
    EXPECT_EQ(packetChecksum("\xE9"), -23);
    EXPECT_EQ(packetChecksum("A\xE9"), 42);
    EXPECT_EQ(packetChecksum("\xFF\x80\x7F"), -2);
    std::string many(1000, '\x80');
    EXPECT_EQ(packetChecksum(many.c_str()), -128000);
}

TEST(FileTimeToUnixMs, EpochAndMillisecondSteps) {
    EXPECT_EQ(fileTimeToUnixMs(116444736000000000ULL), 0);
    EXPECT_EQ(fileTimeToUnixMs(116444736000009999ULL), 0);
    EXPECT_EQ(fileTimeToUnixMs(116444736000010000ULL), 1);
    EXPECT_EQ(fileTimeToUnixMs(116444735999990000ULL), -1);
    EXPECT_EQ(fileTimeToUnixMs(0), -11644473600000LL);
    // 2025-03-05 07:08:09 UTC.
    EXPECT_EQ(fileTimeToUnixMs((1741158489000ULL + 11644473600000ULL) * 10000ULL), 1741158489000LL);
}

TEST(NowUnixMs, AgreesWithTheSystemClock) {
    auto sys = [] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    };
    std::int64_t before = sys();
    std::int64_t now = nowUnixMs();
    std::int64_t after = sys();
    EXPECT_GE(now, before);
    EXPECT_LE(now, after);
}

}  // namespace
}  // namespace kolv
