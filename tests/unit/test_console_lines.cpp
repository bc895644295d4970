// A line one thread has opened and another thread's line interrupts: the
// open text stands as its own line, and its completion comes as a new line.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <thread>

#include "output/console_line.h"
#include "capture.h"

namespace kolv {
namespace {


void onOtherThread(void (*action)()) { std::thread(action).join(); }

struct Case {
    const char* name;
    void (*steps)();
    const char* expected;  // stamps shown as "[T] "
};

const Case kCases[] = {
    {"uninterrupted", [] { printStampedText("SSL..."); printOk(); }, "[T] SSL...OK\r\n"},
    {"ok after another thread's line",
     [] {
         printStampedText("SSL...");
         onOtherThread([] { printStampedLine("sendHostPacket failed with error: 9"); });
         printOk();
     },
     "[T] SSL...\n[T] sendHostPacket failed with error: 9\n[T] OK\r\n"},
    {"failure text after another thread's line",
     [] {
         printStampedText("Connecting to %s:%s...", "h", "1");
         onOtherThread([] { printStampedLine("x"); });
         printBareLine("connect failed with error: 111. ");
         printOk();
     },
     "[T] Connecting to h:1...\n[T] x\n[T] connect failed with error: 111. \nOK\r\n"},
    {"own console line continues the open text",
     [] {
         printStampedText("SSL...");
         printStampedLine("SSL_connect failed.");
         printBareLine("failed.");
     },
     "[T] SSL...[T] SSL_connect failed.\nfailed.\n"},
    {"a long formatted text is written whole",
     [] {
         printStampedText("%s", std::string(600, 'x').c_str());
         printOk();
     },
     "[T] xxxx...OK\r\n"},
    {"closed line is not interrupted",
     [] {
         printStampedText("Retry wait seconds: %d\r\n", 2);
         onOtherThread([] { printBareText("raw %s\n", "text"); });
     },
     "[T] Retry wait seconds: 2\r\nraw text\n"},
};

TEST(ConsoleLines, OpenTextAndItsCompletionNeverHoldAnotherLine) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Capture console;
        c.steps();
        std::string shown = std::regex_replace(console.text, std::regex(R"(\[\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\] )"), "[T] ");
        EXPECT_EQ(std::regex_replace(shown, std::regex(std::string(600, 'x')), "xxxx..."), c.expected);
    }
}

}  // namespace
}  // namespace kolv
