// The debug build's calibration-image extractor on hand-made calibration memory images.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "common/TestEnv.h"
#include "imgproc/CaliImageExtractor.h"
#include "platform/Paths.h"

namespace {

constexpr std::size_t kUnit = 16;
constexpr std::uint16_t kA = 100;
constexpr std::uint16_t kB = 4;
constexpr std::size_t kN = kA + kB * kUnit;  // correction file bytes per range
constexpr std::size_t kStride = kN + 67584;

struct Range {
    std::int16_t firstIndex;
    std::int16_t count;
    std::int16_t tMin;
    std::int16_t tMax;
};

void put16(std::vector<std::uint8_t>& image, std::size_t at, std::uint16_t v) {
    image[at] = static_cast<std::uint8_t>(v);
    image[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

void put32(std::vector<std::uint8_t>& image, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        image[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

// A calibration memory image with three range slots, field of view 23 and the given XML.
std::vector<std::uint8_t> makeImage(const Range (&ranges)[3], const std::string& xml,
                                    std::uint16_t version = 1005, std::uint16_t b = kB,
                                    std::uint16_t fourth = 3) {
    std::vector<std::uint8_t> image(3 * kStride + 60 + xml.size(), 0xEE);
    for (int r = 0; r < 3; ++r) {
        const std::size_t block = 2048 + r * kStride;
        for (std::size_t i = 0; i < kN; ++i) {
            image[block + i] = static_cast<std::uint8_t>(r * 50 + i);
        }
        for (int i = 0; i < 16384; ++i) {
            const float v = 10.0f * r + 0.5f * i;
            std::uint32_t bits;
            std::memcpy(&bits, &v, 4);
            put32(image, block + kN + 4 * i, bits);
        }
    }
    put16(image, 2048, version);
    put16(image, 2050, kA);
    put16(image, 2052, b);
    put16(image, 2054, fourth);
    const std::size_t dchd = 3 * kStride;
    put16(image, dchd, 23);
    for (int r = 0; r < 3; ++r) {
        const std::size_t rec = dchd + 2 + 18 * r;
        put16(image, rec, static_cast<std::uint16_t>(ranges[r].firstIndex));
        put16(image, rec + 2, static_cast<std::uint16_t>(ranges[r].count));
        put16(image, rec + 8, static_cast<std::uint16_t>(ranges[r].tMin));
        put16(image, rec + 12, static_cast<std::uint16_t>(ranges[r].tMax));
    }
    put32(image, dchd + 56, static_cast<std::uint32_t>(xml.size()));
    std::memcpy(image.data() + dchd + 60, xml.data(), xml.size());
    return image;
}

class CaliImageExtractorTest : public kelvix_test::TempDirTest {
  protected:
    // Feeds the image in unit-sized chunks, as the flash answers arrive, and extracts it.
    int extract(const std::vector<std::uint8_t>& image, std::size_t length = SIZE_MAX) {
        dirW_ = wpath("out");
        CaliImageExtractor extractor(12345, dirW_.c_str());
        length = std::min(length, image.size());
        for (std::size_t at = 0; at < length; at += kUnit) {
            const std::size_t count = std::min(kUnit, length - at);
            EXPECT_EQ(extractor.append(image.data() + at, count), count);
        }
        EXPECT_EQ(extractor.unitSize(), std::min(kUnit, length));
        return extractor.extract();
    }
    std::string out(const std::string& name) const { return readFile("out/" + name); }
    bool exists(const std::string& name) const {
        return platform::fileExists(wpath("out/" + name));
    }

    std::wstring dirW_;
};

TEST_F(CaliImageExtractorTest, WritesEachRangeAndTheXmlSkippingEmptyRanges) {
    const std::string xml = "<Cali><Serial>12345</Serial></Cali>\r\n";
    const auto image = makeImage({{-20, 3, -20, 100}, {0, 0, 0, 0}, {5, 2, 0, 250}}, xml);
    ASSERT_EQ(extract(image), 0);

    const std::string dat0 = out("Cali-12345-23-M20-100.dat");
    ASSERT_EQ(dat0.size(), kN);
    EXPECT_EQ(0, std::memcmp(dat0.data(), image.data() + 2048, kN));
    EXPECT_EQ(out("Kennlinie-12345-23-M20-100.prn"),
              "          -20        0.00000000\r\n"
              "          -19        0.50000000\r\n"
              "          -18        1.00000000\r\n");

    // The third slot lies two strides in; the middle slot wrote nothing.
    const std::string dat2 = out("Cali-12345-23-0-250.dat");
    ASSERT_EQ(dat2.size(), kN);
    EXPECT_EQ(0, std::memcmp(dat2.data(), image.data() + 2048 + 2 * kStride, kN));
    EXPECT_EQ(out("Kennlinie-12345-23-0-250.prn"),
              "          5       20.00000000\r\n"
              "          6       20.50000000\r\n");
    EXPECT_FALSE(exists("Cali-12345-23-0-0.dat"));
    EXPECT_FALSE(exists("Kennlinie-12345-23-0-0.prn"));

    EXPECT_EQ(out("Cali-12345.xml"), xml);
}

TEST_F(CaliImageExtractorTest, RefusesHeadersOutsideTheirRanges) {
    const Range ranges[3] = {{0, 1, -20, 100}, {0, 0, 0, 0}, {0, 0, 0, 0}};
    struct Case {
        std::uint16_t version, b, fourth;
    } cases[] = {{999, 4, 3}, {1011, 4, 3}, {1000, 3, 3}, {1010, 13, 3}, {1005, 4, 13}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.version << " " << c.b << " " << c.fourth);
        EXPECT_EQ(extract(makeImage(ranges, "<x/>", c.version, c.b, c.fourth)), -1);
        EXPECT_FALSE(exists("Cali-12345.xml"));
    }
    // The limits themselves are accepted.
    EXPECT_EQ(extract(makeImage(ranges, "<x/>", 1010, 4, 12)), 0);
    EXPECT_TRUE(exists("Cali-12345.xml"));
}

TEST_F(CaliImageExtractorTest, ShortImageWritesNothing) {
    const Range ranges[3] = {{0, 1, -20, 100}, {0, 0, 0, 0}, {0, 0, 0, 0}};
    const auto image = makeImage(ranges, "<Cali/>");
    EXPECT_EQ(extract(image, 2048 + 8), -1);          // header cut
    EXPECT_EQ(extract(image, 3 * kStride + 10), -1);  // directory cut
    EXPECT_EQ(extract(image, image.size() - 1), -1);  // XML one byte short
    EXPECT_FALSE(exists("Cali-12345-23-M20-100.dat"));
    EXPECT_FALSE(exists("Cali-12345.xml"));

    CaliImageExtractor empty(1, dirW_.c_str());
    EXPECT_EQ(empty.extract(), -1);
}

TEST_F(CaliImageExtractorTest, TableCountIsHeldToTheTableBlock) {
    const auto image = makeImage({{0, 32767, -20, 100}, {0, -5, 0, 250}, {0, 0, 0, 0}}, "<Cali/>");
    ASSERT_EQ(extract(image), 0);
    const std::string table = out("Kennlinie-12345-23-M20-100.prn");
    EXPECT_EQ(static_cast<std::size_t>(std::count(table.begin(), table.end(), '\n')), 16384u);
    EXPECT_NE(table.find("          16383     8191.50000000\r\n"), std::string::npos);
    EXPECT_EQ(out("Kennlinie-12345-23-0-250.prn"), "");
}

}  // namespace
