// Formatting and copying into fixed buffers: where the text is cut and what is returned.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "output/bounded_format.h"

namespace kolv {
namespace {

// A buffer whose bytes past the usable size are guards that must survive.
struct GuardedBuffer {
    char bytes[64];
    GuardedBuffer() { std::memset(bytes, '#', sizeof bytes); }
    bool guardsIntactFrom(std::size_t size) const {
        for (std::size_t i = size; i < sizeof bytes; ++i) {
            if (bytes[i] != '#') return false;
        }
        return true;
    }
};

TEST(BoundedFormat, ExactFitReturnsTheCount) {
    GuardedBuffer b;
    EXPECT_EQ(boundedFormat(b.bytes, 6, "%s", "abcde"), 5);
    EXPECT_STREQ(b.bytes, "abcde");
    EXPECT_TRUE(b.guardsIntactFrom(6));

    GuardedBuffer c;
    EXPECT_EQ(boundedFormat(c.bytes, 10, "%d/%02d", 2025, 3), 7);
    EXPECT_STREQ(c.bytes, "2025/03");
    EXPECT_TRUE(c.guardsIntactFrom(10));
}

TEST(BoundedFormat, OneOverIsCutTerminatedAndReportsMinusOne) {
    GuardedBuffer b;
    EXPECT_EQ(boundedFormat(b.bytes, 6, "%s", "abcdef"), -1);
    EXPECT_STREQ(b.bytes, "abcde");
    EXPECT_TRUE(b.guardsIntactFrom(6));

    GuardedBuffer c;
    EXPECT_EQ(boundedFormat(c.bytes, 8, "Retry %d of %d", 10, 10), -1);
    EXPECT_STREQ(c.bytes, "Retry 1");
    EXPECT_TRUE(c.guardsIntactFrom(8));
}

TEST(BoundedFormat, SizeOneHoldsOnlyTheTerminator) {
    GuardedBuffer b;
    EXPECT_EQ(boundedFormat(b.bytes, 1, "%s", "x"), -1);
    EXPECT_EQ(b.bytes[0], '\0');
    EXPECT_TRUE(b.guardsIntactFrom(1));

    GuardedBuffer c;
    EXPECT_EQ(boundedFormat(c.bytes, 1, "%s", ""), 0);
    EXPECT_EQ(c.bytes[0], '\0');
    EXPECT_TRUE(c.guardsIntactFrom(1));
}

TEST(BoundedFormat, SizeZeroWritesNothing) {
    GuardedBuffer b;
    EXPECT_EQ(boundedFormat(b.bytes, 0, "%s", "abc"), -1);
    EXPECT_TRUE(b.guardsIntactFrom(0));
}

TEST(BoundedCopy, CutsToSizeMinusOne) {
    GuardedBuffer fit;
    boundedCopy(fit.bytes, 6, "abcde");
    EXPECT_STREQ(fit.bytes, "abcde");
    EXPECT_TRUE(fit.guardsIntactFrom(6));

    GuardedBuffer over;
    boundedCopy(over.bytes, 6, "abcdefghij");
    EXPECT_STREQ(over.bytes, "abcde");
    EXPECT_TRUE(over.guardsIntactFrom(6));

    GuardedBuffer one;
    boundedCopy(one.bytes, 1, "abc");
    EXPECT_EQ(one.bytes[0], '\0');
    EXPECT_TRUE(one.guardsIntactFrom(1));

    GuardedBuffer zero;
    boundedCopy(zero.bytes, 0, "abc");
    EXPECT_TRUE(zero.guardsIntactFrom(0));

    GuardedBuffer shortText;
    boundedCopy(shortText.bytes, 32, "ab");
    EXPECT_STREQ(shortText.bytes, "ab");
    EXPECT_TRUE(shortText.guardsIntactFrom(3));
}

TEST(BoundedCopy, SourceWithoutTerminatorWithinTheLimitIsNotOverread) {
    // Only size - 1 bytes of the source may be looked at.
    const char source[4] = {'w', 'x', 'y', 'z'};
    GuardedBuffer b;
    boundedCopy(b.bytes, 4, source);
    EXPECT_STREQ(b.bytes, "wxy");
}

}  // namespace
}  // namespace kolv
