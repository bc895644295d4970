// The ulk.cfg record: field offsets, short and unterminated images, loading, site-name cleaning.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "app/bridge_config.h"
#include "scratch_dir.h"

namespace kolv {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kImageSize = 1067;

struct FieldSpot {
    std::size_t offset;
    std::size_t size;
    const char* value;
};

// Field values written at their offsets; bytes behind each terminator are junk.
const FieldSpot kFields[] = {
    {0, 80, "chat.example.test"},
    {80, 6, "2323"},
    {87, 140, "|10My |14Site~Name"},
    {227, 140, "Software 1.0"},
    {367, 140, "https://web.example.test/"},
    {507, 140, "telnet://tel.example.test:23"},
    {647, 140, "ssh://ssh.example.test"},
    {787, 140, "Sys Op"},
    {927, 140, "A description"},
};

std::vector<unsigned char> fullImage() {
    std::vector<unsigned char> image(kImageSize, 'J');
    for (const auto& f : kFields) {
        std::memcpy(image.data() + f.offset, f.value, std::strlen(f.value) + 1);
    }
    image[86] = 1;
    return image;
}

void expectFullImageFields(const BridgeConfig& c) {
    EXPECT_STREQ(c.host, "chat.example.test");
    EXPECT_STREQ(c.port, "2323");
    EXPECT_EQ(c.useTls, 1);
    EXPECT_STREQ(c.siteName, "|10My |14Site~Name");
    EXPECT_STREQ(c.software, "Software 1.0");
    EXPECT_STREQ(c.infoWeb, "https://web.example.test/");
    EXPECT_STREQ(c.infoTel, "telnet://tel.example.test:23");
    EXPECT_STREQ(c.infoSsh, "ssh://ssh.example.test");
    EXPECT_STREQ(c.infoSys, "Sys Op");
    EXPECT_STREQ(c.infoDsc, "A description");
}

TEST(ParseBridgeConfig, ReadsEveryFieldAtItsOffset) {
    auto image = fullImage();
    BridgeConfig config{};
    ASSERT_TRUE(parseBridgeConfig(image.data(), image.size(), config));
    expectFullImageFields(config);

    image[86] = 0;
    ASSERT_TRUE(parseBridgeConfig(image.data(), image.size(), config));
    EXPECT_EQ(config.useTls, 0);
}

TEST(ParseBridgeConfig, BytesBeyondTheRecordAreIgnored) {
    auto image = fullImage();
    image.resize(kImageSize + 100, 'Q');
    BridgeConfig config{};
    ASSERT_TRUE(parseBridgeConfig(image.data(), image.size(), config));
    expectFullImageFields(config);
}

TEST(ParseBridgeConfig, ShortImageIsRejected) {
    auto image = fullImage();
    BridgeConfig config{};
    EXPECT_FALSE(parseBridgeConfig(image.data(), kImageSize - 1, config));
    EXPECT_FALSE(parseBridgeConfig(image.data(), 0, config));
}

TEST(ParseBridgeConfig, FieldsFillingTheirArraysAreCutAtSizeMinusOne) {
    std::vector<unsigned char> image(kImageSize);
    for (const auto& f : kFields) {
        std::memset(image.data() + f.offset, 'A' + static_cast<int>(f.offset % 26), f.size);
    }
    image[86] = 'T';
    BridgeConfig config{};
    ASSERT_TRUE(parseBridgeConfig(image.data(), image.size(), config));
    const char* fields[] = {config.host,    config.port,    config.siteName, config.software, config.infoWeb,
                            config.infoTel, config.infoSsh, config.infoSys,  config.infoDsc};
    for (std::size_t k = 0; k < std::size(kFields); ++k) {
        SCOPED_TRACE(kFields[k].offset);
        std::string expected(kFields[k].size - 1, static_cast<char>('A' + static_cast<int>(kFields[k].offset % 26)));
        EXPECT_EQ(std::string(fields[k]), expected);
    }
    EXPECT_EQ(config.useTls, 'T');
}

// Runs each test in a fresh scratch directory and returns to the old one after.
class LoadBridgeConfigTest : public ::testing::Test {
protected:
    void SetUp() override { scratch_.emplace("kolv-cfg-"); }

    void TearDown() override { scratch_.reset(); }

    static void writeFile(const char* path, const std::vector<unsigned char>& bytes, std::size_t length) {
        std::FILE* file = std::fopen(path, "wb");
        ASSERT_NE(file, nullptr);
        ASSERT_EQ(std::fwrite(bytes.data(), 1, length, file), length);
        std::fclose(file);
    }

    std::optional<testutil::ScratchDir> scratch_;
};

TEST_F(LoadBridgeConfigTest, LoadsUlkCfgFromTheWorkingDirectory) {
    writeFile("ulk.cfg", fullImage(), kImageSize);
    BridgeConfig config{};
    ASSERT_TRUE(loadBridgeConfig(config));
    expectFullImageFields(config);
}

TEST_F(LoadBridgeConfigTest, LoadsAnExplicitPath) {
    writeFile("other.cfg", fullImage(), kImageSize);
    BridgeConfig config{};
    ASSERT_TRUE(loadBridgeConfig(config, "other.cfg"));
    expectFullImageFields(config);
    EXPECT_FALSE(loadBridgeConfig(config)) << "ulk.cfg does not exist here";
}

TEST_F(LoadBridgeConfigTest, MissingShortOrEmptyFileFails) {
    BridgeConfig config{};
    EXPECT_FALSE(loadBridgeConfig(config));
    EXPECT_FALSE(loadBridgeConfig(config, "no-such-dir/ulk.cfg"));
    writeFile("ulk.cfg", fullImage(), kImageSize - 1);
    EXPECT_FALSE(loadBridgeConfig(config));
    writeFile("ulk.cfg", fullImage(), 0);
    EXPECT_FALSE(loadBridgeConfig(config));
}

std::string cleaned(const std::string& configured) {
    char out[140];
    std::memset(out, '#', sizeof out);
    cleanSiteName(configured.c_str(), out, sizeof out);
    return out;
}

TEST(CleanSiteName, DropsTildesAndCodesAndTurnsSpacesIntoUnderscores) {
    EXPECT_EQ(cleaned("|10The |14Dark~Side Place"), "The_DarkSide_Place");
    EXPECT_EQ(cleaned("|07|15"), "");
    EXPECT_EQ(cleaned(""), "");
    EXPECT_EQ(cleaned("~~~"), "");
    EXPECT_EQ(cleaned("Two  Spaces"), "Two__Spaces");
}

TEST(CleanSiteName, OnlyBarAndTwoDigitsIsACode) {
    EXPECT_EQ(cleaned("|7x"), "|7x");
    EXPECT_EQ(cleaned("A|1"), "A|1");
    EXPECT_EQ(cleaned("A|"), "A|");
    EXPECT_EQ(cleaned("A|123"), "A3");
    EXPECT_EQ(cleaned("A|12"), "A");
    EXPECT_EQ(cleaned("|1 2"), "|1_2");
    EXPECT_EQ(cleaned("|\xB1\xB2z"), "|\xB1\xB2z");
}

TEST(CleanSiteName, TildesGoBeforeCodesAreRead) {
    // Removing "~" joins a bar and two digits into a code.
    EXPECT_EQ(cleaned("A|1~23"), "A3");
    EXPECT_EQ(cleaned("~|~0~9~x"), "x");
}

TEST(CleanSiteName, CodesAreReadInOnePass) {
    // The bar left in front of a removed code does not form a new code.
    EXPECT_EQ(cleaned("||1212"), "|12");
}

TEST(CleanSiteName, CutTo30AfterCodesAndSpacesAreHandled) {
    const std::string forty = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmn";
    ASSERT_EQ(forty.size(), 40U);
    EXPECT_EQ(cleaned(forty), forty.substr(0, 30));
    EXPECT_EQ(cleaned(forty.substr(0, 30)), forty.substr(0, 30));
    // Codes do not count towards the 30.
    EXPECT_EQ(cleaned("|15" + forty), forty.substr(0, 30));
    // A space at the cut is already an underscore.
    EXPECT_EQ(cleaned(forty.substr(0, 29) + " tail"), forty.substr(0, 29) + "_");
}

TEST(CleanSiteName, LongestNameWithManyCodes) {
    // 45 codes and four letters: 139 characters, the most the field holds.
    std::string name;
    for (int i = 0; i < 45; ++i) name += (i % 2 == 0) ? "|01" : "|17";
    name += "Site";
    ASSERT_EQ(name.size(), 139U);
    EXPECT_EQ(cleaned(name), "Site");

    // 23 coloured letters and 24 bars that start no code: cut to 30.
    std::string pairs;
    for (int i = 0; i < 23; ++i) pairs += "|1" + std::to_string(i % 10) + static_cast<char>('a' + i) + "~";
    while (pairs.size() < 139) pairs += "|";
    ASSERT_EQ(pairs.size(), 139U);
    std::string expected;
    for (int i = 0; i < 23; ++i) expected += static_cast<char>('a' + i);
    expected += std::string(139 - 23 * 5, '|');
    EXPECT_EQ(cleaned(pairs), expected.substr(0, 30));
}

}  // namespace
}  // namespace kolv
