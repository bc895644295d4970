// Command-line options: what each one sets and prints, and where "-?" stops.
#include <gtest/gtest.h>

#include <climits>
#include <regex>
#include <string>
#include <vector>

#include "app/bridge_state.h"
#include "app/options.h"
#include "console_capture.h"

namespace kolv {
namespace {

using test::kRenderedStampPattern;
using test::ScopedCapture;

const std::string kHelp =
    "\r\nKolv-Bridge options:\r\n\n"
    "-V     Enable verbose logging. Display and log all packet strings.\n"
    "-R[n]  Maximum connection retry attempts. Default=Infinite.\n"
    "-W[n]  Number of seconds before retrying. Default=5.\n";

const std::string kStamp = kRenderedStampPattern;
const std::string kVerboseLine = kStamp + R"(Verbose logging \{10\}OK\{7\})" "\r\n";

std::string waitLine(int seconds) { return kStamp + "Retry wait seconds: " + std::to_string(seconds) + "\r\n"; }

class OptionsTest : public ::testing::Test {
protected:
    void SetUp() override { bridgeState().verbose.store(false); }
    void TearDown() override { bridgeState().verbose.store(false); }

    // Applies the arguments after a program path, capturing what they print.
    OptionsOutcome apply(std::vector<const char*> args) {
        args.insert(args.begin(), "/opt/kolv/kolv-bridge");
        ScopedCapture capture;
        OptionsOutcome outcome = applyOptions(static_cast<int>(args.size()), args.data(), policy);
        printed = capture.rendered();
        return outcome;
    }

    bool printedMatches(const std::string& pattern) const { return std::regex_match(printed, std::regex(pattern)); }

    RetryPolicy policy;
    std::string printed;
};

TEST_F(OptionsTest, DefaultsWithoutOptions) {
    EXPECT_EQ(apply({}), OptionsOutcome::Run);
    EXPECT_EQ(policy.maxRetries, 0);
    EXPECT_EQ(policy.retryWaitSeconds, 5);
    EXPECT_FALSE(bridgeState().verbose.load());
    EXPECT_EQ(printed, "");

    RetryPolicy untouched;
    ScopedCapture capture;
    EXPECT_EQ(applyOptions(0, nullptr, untouched), OptionsOutcome::Run);
    EXPECT_EQ(capture.rendered(), "");
}

TEST_F(OptionsTest, HelpPrintsItsTextPlainly) {
    EXPECT_EQ(apply({"-?"}), OptionsOutcome::ShowedHelp);
    EXPECT_EQ(printed, kHelp);
    EXPECT_EQ(apply({"-?x"}), OptionsOutcome::ShowedHelp);
    EXPECT_EQ(printed, kHelp);
}

TEST_F(OptionsTest, HelpStopsTheOptionsAfterItButKeepsThoseBefore) {
    EXPECT_EQ(apply({"-W2", "-R7", "-?", "-R3", "-V", "-W9"}), OptionsOutcome::ShowedHelp);
    EXPECT_EQ(policy.retryWaitSeconds, 2);
    EXPECT_EQ(policy.maxRetries, 7);
    EXPECT_FALSE(bridgeState().verbose.load());
    ASSERT_GE(printed.size(), kHelp.size());
    EXPECT_EQ(printed.substr(printed.size() - kHelp.size()), kHelp);
    EXPECT_TRUE(std::regex_match(printed.substr(0, printed.size() - kHelp.size()), std::regex(waitLine(2))))
        << printed;
}

TEST_F(OptionsTest, VerboseInEitherCase) {
    for (const char* arg : {"-V", "-v"}) {
        SCOPED_TRACE(arg);
        bridgeState().verbose.store(false);
        EXPECT_EQ(apply({arg}), OptionsOutcome::Run);
        EXPECT_TRUE(bridgeState().verbose.load());
        EXPECT_TRUE(printedMatches(kVerboseLine)) << printed;
    }
}

TEST_F(OptionsTest, VerboseNeedsTheWholeArgument) {
    for (const char* arg : {"-Vx", "-VV", "V", "--V", "-"}) {
        SCOPED_TRACE(arg);
        EXPECT_EQ(apply({arg}), OptionsOutcome::Run);
        EXPECT_FALSE(bridgeState().verbose.load());
        EXPECT_EQ(printed, "");
    }
    EXPECT_EQ(policy.maxRetries, 0);
    EXPECT_EQ(policy.retryWaitSeconds, 5);
}

TEST_F(OptionsTest, WaitOfZeroNegativeOrNoneIsFiveSeconds) {
    for (const char* arg : {"-W0", "-W-3", "-W", "-Wabc"}) {
        SCOPED_TRACE(arg);
        policy.retryWaitSeconds = 77;
        EXPECT_EQ(apply({arg}), OptionsOutcome::Run);
        EXPECT_EQ(policy.retryWaitSeconds, 5);
        EXPECT_TRUE(printedMatches(waitLine(5))) << printed;
    }
}

TEST_F(OptionsTest, WaitTakesThePositiveValue) {
    EXPECT_EQ(apply({"-W2"}), OptionsOutcome::Run);
    EXPECT_EQ(policy.retryWaitSeconds, 2);
    EXPECT_TRUE(printedMatches(waitLine(2))) << printed;

    EXPECT_EQ(apply({"-w12s"}), OptionsOutcome::Run);
    EXPECT_EQ(policy.retryWaitSeconds, 12);
    EXPECT_TRUE(printedMatches(waitLine(12))) << printed;
}

TEST_F(OptionsTest, RetriesTakeTheDecimalValueAsIs) {
    struct Case {
        const char* arg;
        int expected;
    };
    for (const Case& c : {Case{"-R3", 3}, Case{"-Rabc", 0}, Case{"-R-2", -2}, Case{"-r4", 4}, Case{"-R", 0},
                          Case{"-R12x", 12}, Case{"-R99999999999", INT_MAX}}) {
        SCOPED_TRACE(c.arg);
        policy.maxRetries = 55;
        EXPECT_EQ(apply({c.arg}), OptionsOutcome::Run);
        EXPECT_EQ(policy.maxRetries, c.expected);
        EXPECT_EQ(printed, "") << "-R prints nothing";
    }
    EXPECT_EQ(apply({"-R5", "-R8"}), OptionsOutcome::Run);
    EXPECT_EQ(policy.maxRetries, 8);
}

TEST_F(OptionsTest, OptionsPrintInTheirOrder) {
    EXPECT_EQ(apply({"-W3", "ignored", "-V", "-R2"}), OptionsOutcome::Run);
    EXPECT_TRUE(printedMatches(waitLine(3) + kVerboseLine)) << printed;
    EXPECT_EQ(policy.retryWaitSeconds, 3);
    EXPECT_EQ(policy.maxRetries, 2);
    EXPECT_TRUE(bridgeState().verbose.load());
}

TEST(LeadingDecimal, ReadsLikeAtoiAndClamps) {
    EXPECT_EQ(leadingDecimal(""), 0);
    EXPECT_EQ(leadingDecimal("abc"), 0);
    EXPECT_EQ(leadingDecimal("12abc"), 12);
    EXPECT_EQ(leadingDecimal("-7"), -7);
    EXPECT_EQ(leadingDecimal("+5"), 5);
    EXPECT_EQ(leadingDecimal("  9"), 9);
    EXPECT_EQ(leadingDecimal("2147483647"), INT_MAX);
    EXPECT_EQ(leadingDecimal("99999999999"), INT_MAX);
    EXPECT_EQ(leadingDecimal("-2147483648"), INT_MIN);
    EXPECT_EQ(leadingDecimal("-99999999999999999999999"), INT_MIN);
}

}  // namespace
}  // namespace kolv
