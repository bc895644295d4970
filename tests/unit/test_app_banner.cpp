// The start-up banner: its exact bytes, printed without reading pipe codes.
#include <gtest/gtest.h>

#include <vector>

#include "app/banner.h"
#include "console_capture.h"

namespace kolv {
namespace {

TEST(Banner, ExactBytesAndNoColourChange) {
    const char* const expected =
        "\r\n\r\n|~|\\                           /|\\                           /|~|\n"
        "| |  |\\                     /|  |  |\\                     /|  | |\n"
        "| |  |  |\\               /|  |  |  |  |\\               /|  |  | |\n"
        "| |  |  |  |\\         /|  |  |  |  |  |  |\\         /|  |  |  | |\n"
        "| |  |  |  |  |\\   /|  |  |  |  |  |  |  |  |\\   /|  |  |  |  | |\n"
        "| |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  |  | |\n"
        "+-+------------===================================------------+-+\n"
        "|              <    K o l v - B R I D G E v103   >              |\r\n\n"
        "+-+------------===================================------------+-+\n";
    test::ScopedCapture capture;
    printBanner();
    EXPECT_EQ(capture.events(), (std::vector<test::ConsoleEvent>{test::textEvent(expected)}));
}

}  // namespace
}  // namespace kolv
