// The configuration file reader: defaults, every key, conversion quirks, comments, failures,
// non-UTF-8 paths and string ownership.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/TestEnv.h"
#include "kelvix/IRDeviceParams.h"
#include "kelvix/IRLogger.h"
#include "kelvix/Logger.h"

namespace {

using kelvix_test::VirtualClockTest;

class IRDeviceParamsTest : public VirtualClockTest {
  protected:
    void TearDown() override {
        params_.releaseStrings();
        VirtualClockTest::TearDown();
    }
    bool read(const std::string& body) {
        writeFile("cfg.xml",
                  "<?xml version=\"1.0\"?>\n<imager xmlns=\"x\">\n" + body + "\n</imager>\n");
        return zol::IRDeviceParamsReader::readXMLC(path("cfg.xml").c_str(), params_);
    }
    void expectResetValues() const {
        EXPECT_EQ(params_.serial, 0u);
        EXPECT_EQ(params_.fov, 0);
        EXPECT_EQ(params_.opticsText, nullptr);
        EXPECT_EQ(params_.formatsPath, nullptr);
        EXPECT_EQ(params_.caliPath, nullptr);
        EXPECT_EQ(params_.tMin, 0);
        EXPECT_EQ(params_.tMax, 0);
        EXPECT_FLOAT_EQ(params_.framerate, 30.0f);
        EXPECT_EQ(params_.videoFormatIndex, -1);
        EXPECT_EQ(params_.bispectral, 0);
        EXPECT_EQ(params_.average, 0);
        EXPECT_EQ(params_.autoFlag, 1);
        EXPECT_FLOAT_EQ(params_.minInterval, 15.0f);
        EXPECT_FLOAT_EQ(params_.maxInterval, 0.0f);
        EXPECT_EQ(params_.pifInMode, 0);
        EXPECT_EQ(params_.tChipMode, 0);
        EXPECT_FLOAT_EQ(params_.tChipFixedValue, 40.0f);
    }
    // The message texts of the log file, without level, source and time.
    std::vector<std::string> loggedTexts() const {
        std::vector<std::string> out;
        std::string all =
            readFile(zol::Logger::getInstance()->getFileName().substr(dir_.size() + 1));
        std::size_t pos = 0;
        while (pos < all.size()) {
            std::size_t nl = all.find('\n', pos);
            std::string line = all.substr(pos, nl - pos);
            out.push_back(line.substr(line.find("s :") + 3));
            pos = nl + 1;
        }
        return out;
    }

    zol::IRDeviceParams params_;
};

TEST_F(IRDeviceParamsTest, ReadingStartsFromItsOwnDefaultsNotTheRecordsOrTheStructures) {
    params_.tMin = 5;
    params_.serial = 9;
    ASSERT_TRUE(read(""));
    expectResetValues();
}

TEST_F(IRDeviceParamsTest, ReadsEveryKeyAndLogsTheParameters) {
    zol::IRLogger::setVerbosity(zol::IRLOG_OFF, zol::IRLOG_DEBUG, (dir_ + "/log").c_str());
    ASSERT_TRUE(read(
        "<serial>12345678</serial>\n<videoformatindex>2</videoformatindex>\n<fov>0x1E</fov>\n"
        "<optics_text> wide\nangle </optics_text>\n<calipath>/c</calipath>\n"
        "<temperature><min>-10</min><max>010</max></temperature>\n<framerate>9</framerate>\n"
        "<bispectral>1</bispectral><average>1</average>\n"
        "<autoflag><enable>0</enable><mininterval>2.5</mininterval>"
        "<maxinterval>60</maxinterval></autoflag>\n"
        "<pifmode>1</pifmode><tchipmode>2</tchipmode><tchipfixedvalue>33.25</tchipfixedvalue>"));
    EXPECT_EQ(params_.serial, 12345678u);
    EXPECT_EQ(params_.videoFormatIndex, 2);
    EXPECT_EQ(params_.fov, 30);
    EXPECT_STREQ(params_.opticsText, L" wideangle ");
    EXPECT_STREQ(params_.caliPath, L"/c");
    EXPECT_EQ(params_.formatsPath, nullptr);
    EXPECT_EQ(params_.tMin, -10);
    EXPECT_EQ(params_.tMax, 8);
    EXPECT_FLOAT_EQ(params_.framerate, 9.0f);
    EXPECT_EQ(params_.bispectral, 1);
    EXPECT_EQ(params_.average, 1);
    EXPECT_EQ(params_.autoFlag, 0);
    EXPECT_FLOAT_EQ(params_.minInterval, 2.5f);
    EXPECT_FLOAT_EQ(params_.maxInterval, 60.0f);
    EXPECT_EQ(params_.pifInMode, 1);
    EXPECT_EQ(params_.tChipMode, 2);
    EXPECT_FLOAT_EQ(params_.tChipFixedValue, 33.25f);

    const std::vector<std::string> expected = {"Parameters",
                                               "serial: 12345678",
                                               "videoformatindex: 2",
                                               "fov: 30",
                                               "optics_text:  wideangle ",
                                               "formatspath: (null)",
                                               "calipath: /c",
                                               "temperature min: -10",
                                               "temperature max: 8",
                                               "framerate: 9",
                                               "bispectral: 1",
                                               "average: 1",
                                               "flag automatic: 0",
                                               "min interval: 2.5",
                                               "max interval: 60",
                                               "PIF mode: 1",
                                               "chip heating mode: 2",
                                               "chip heating fixed val: : 33.25"};
    EXPECT_EQ(loggedTexts(), expected);
}

TEST_F(IRDeviceParamsTest, ConversionQuirks) {
    ASSERT_TRUE(
        read("<serial>0x10</serial><fov>010</fov><framerate>abc</framerate>"
             "<tchipmode>7x</tchipmode><optics_text></optics_text>"));
    EXPECT_EQ(params_.serial, 0u);  // decimal only: stops at the x
    EXPECT_EQ(params_.fov, 8);      // leading 0 is octal
    EXPECT_FLOAT_EQ(params_.framerate, 30.0f);
    EXPECT_EQ(params_.tChipMode, 7);
    ASSERT_NE(params_.opticsText, nullptr);
    EXPECT_STREQ(params_.opticsText, L"");
    params_.releaseStrings();

    ASSERT_TRUE(read("<serial>abc</serial>"));
    EXPECT_EQ(params_.serial, 0u);
    ASSERT_TRUE(read("<serial>4294967295</serial>"));
    EXPECT_EQ(params_.serial, 4294967295u);  // fits the 64-bit temporary, stored as u32
}

TEST_F(IRDeviceParamsTest, NestingCommentsAndMissingEndTags) {
    // A min outside temperature is ignored; keys are found at any depth of the root.
    ASSERT_TRUE(
        read("<min>5</min><group><fov>12</fov></group>\n"
             "<!-- <serial>1</serial>\n <!-- inner --> <autoflag><enable>0</enable>"
             "</autoflag> -->\n<temperature><min>3</min><max>4</max>"));
    EXPECT_EQ(params_.fov, 12);
    EXPECT_EQ(params_.serial, 0u);
    EXPECT_EQ(params_.autoFlag, 1);
    EXPECT_EQ(params_.tMin, 0);  // temperature without its end tag
    EXPECT_EQ(params_.tMax, 0);

    ASSERT_TRUE(read("<temperature><max>4</max></temperature><min>3</min>"));
    EXPECT_EQ(params_.tMin, 0);
    EXPECT_EQ(params_.tMax, 4);
}

TEST_F(IRDeviceParamsTest, FailuresLeaveTheResetValues) {
    EXPECT_FALSE(zol::IRDeviceParamsReader::readXMLC(path("missing.xml").c_str(), params_));
    expectResetValues();
    EXPECT_FALSE(zol::IRDeviceParamsReader::readXML(nullptr, params_));
    EXPECT_FALSE(zol::IRDeviceParamsReader::readXMLC(nullptr, params_));
    params_.fov = 3;
    EXPECT_FALSE(read("<fov>1</fov> <!-- unclosed"));
    expectResetValues();

    // Whole document on one line: true, reset values.
    writeFile("one.xml", "<imager><fov>5</fov></imager>");
    EXPECT_TRUE(zol::IRDeviceParamsReader::readXMLC(path("one.xml").c_str(), params_));
    expectResetValues();
}

// This program never sets a locale: the path is bytes all the same.
TEST_F(IRDeviceParamsTest, UnicodeAndNonUtf8PathsOpenWithoutALocale) {
    for (const std::string name : {"t-caf\xC3\xA9.xml", "t-caf\xE9.xml"}) {
        writeFile(name, "<imager>\n<fov>5</fov>\n</imager>\n");
        EXPECT_TRUE(zol::IRDeviceParamsReader::readXMLC(path(name).c_str(), params_)) << name;
        EXPECT_EQ(params_.fov, 5);
    }
    EXPECT_TRUE(
        zol::IRDeviceParamsReader::readXML((wpath("t-caf") + L"\u00E9.xml").c_str(), params_));
}

TEST_F(IRDeviceParamsTest, SecondReadHandsTheFirstStringsToTheCaller) {
    ASSERT_TRUE(read("<calipath>first</calipath>"));
    wchar_t* first = params_.caliPath;
    ASSERT_TRUE(read("<calipath>second</calipath>"));
    EXPECT_STREQ(first, L"first");
    EXPECT_STREQ(params_.caliPath, L"second");
    delete[] first;
}

}  // namespace
