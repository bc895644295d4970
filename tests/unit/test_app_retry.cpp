// Retry policy: how many host-link attempts are allowed and the retry line each one prints.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "app/retry_supervisor.h"

namespace kolv {
namespace {

TEST(AttemptAllowed, TenAttemptsBeforeTheFirstLinkWhateverTheLimit) {
    for (int maxRetries : {0, 3, -2, 20, INT_MAX}) {
        SCOPED_TRACE(maxRetries);
        EXPECT_TRUE(attemptAllowed(false, 0, maxRetries));
        EXPECT_TRUE(attemptAllowed(false, 9, maxRetries));
        EXPECT_FALSE(attemptAllowed(false, 10, maxRetries));
        EXPECT_FALSE(attemptAllowed(false, 11, maxRetries));
    }
}

TEST(AttemptAllowed, AfterALinkZeroOrNegativeMeansNoLimit) {
    for (int maxRetries : {0, -1, -2, INT_MIN}) {
        SCOPED_TRACE(maxRetries);
        EXPECT_TRUE(attemptAllowed(true, 0, maxRetries));
        EXPECT_TRUE(attemptAllowed(true, 10, maxRetries));
        EXPECT_TRUE(attemptAllowed(true, 100000, maxRetries));
        EXPECT_TRUE(attemptAllowed(true, INT_MAX, maxRetries));
    }
}

TEST(AttemptAllowed, AfterALinkAPositiveLimitHoldsWhileBelow) {
    EXPECT_TRUE(attemptAllowed(true, 0, 3));
    EXPECT_TRUE(attemptAllowed(true, 2, 3));
    EXPECT_FALSE(attemptAllowed(true, 3, 3));
    EXPECT_FALSE(attemptAllowed(true, 4, 3));
    EXPECT_TRUE(attemptAllowed(true, 10, 20));
    EXPECT_TRUE(attemptAllowed(true, 19, 20));
    EXPECT_FALSE(attemptAllowed(true, 20, 20));
}

TEST(FormatRetryLine, CountOnlyWhenLinkedWithoutLimit) {
    char line[50];
    formatRetryLine(line, 1, 0, true);
    EXPECT_STREQ(line, "Retry 1...\r\n");
    formatRetryLine(line, 12345, 0, true);
    EXPECT_STREQ(line, "Retry 12345...\r\n");
}

TEST(FormatRetryLine, TenIsTheLimitBeforeTheFirstLink) {
    char line[50];
    formatRetryLine(line, 1, 0, false);
    EXPECT_STREQ(line, "Retry 1 of 10...\r\n");
    formatRetryLine(line, 10, 3, false);
    EXPECT_STREQ(line, "Retry 10 of 10...\r\n");
    formatRetryLine(line, 4, -2, false);
    EXPECT_STREQ(line, "Retry 4 of 10...\r\n");
}

TEST(FormatRetryLine, TheLimitIsPrintedUnchangedAfterALink) {
    char line[50];
    formatRetryLine(line, 2, 3, true);
    EXPECT_STREQ(line, "Retry 2 of 3...\r\n");
    formatRetryLine(line, 1, -2, true);
    EXPECT_STREQ(line, "Retry 1 of -2...\r\n");
    formatRetryLine(line, INT_MIN, INT_MIN, true);
    EXPECT_STREQ(line, "Retry -2147483648 of -2147483648...\r\n");
    EXPECT_LT(std::strlen(line), sizeof line);
}

}  // namespace
}  // namespace kolv
