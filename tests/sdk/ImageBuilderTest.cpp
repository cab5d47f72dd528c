// The image builder: padded rows, scaling methods, palettes, temperature queries, box means,
// extremal regions, palette bars, histograms and crosshairs.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "common/TestEnv.h"
#include "kelvix/IRLogger.h"
#include "kelvix/ImageBuilder.h"

namespace {

using Frame = std::vector<unsigned short>;
using Bytes = std::vector<unsigned char>;
using zol::ImageBuilder;

class ImageBuilderTest : public kelvix_test::TempDirTest {
  protected:
    // The entry's bytes as the padded conversion writes them: blue, green, red.
    static std::array<unsigned char, 3> bgr(int palette, int entry) {
        ImageBuilder b;
        b.setPalette(static_cast<zol::EnumTervanColoringPalette>(palette));
        ImageBuilder::PaletteTable t;
        b.getPaletteTable(t);
        return {t[entry][2], t[entry][1], t[entry][0]};
    }
    static std::array<unsigned char, 3> pixel(const Bytes& img, std::size_t i) {
        return {img[3 * i], img[3 * i + 1], img[3 * i + 2]};
    }
    std::string captureErrors(const std::function<void()>& f) {
        zol::IRLogger::setVerbosity(zol::IRLOG_ERROR, zol::IRLOG_OFF, "t");
        testing::internal::CaptureStderr();
        f();
        return testing::internal::GetCapturedStderr();
    }
};

TEST_F(ImageBuilderTest, RowsArePaddedToFourPixelsWithZeroBytes) {
    ImageBuilder b;
    Frame f(641 * 2, 1000);
    b.setData(641, 2, f.data());
    EXPECT_EQ(b.getStride(), 644u);
    Bytes img(644 * 2 * 3, 0xAA);
    b.convertTemperatureToPaletteImage(img.data(), false);
    for (int row = 0; row < 2; ++row) {
        const std::size_t end = (row + 1) * 644 * 3;
        EXPECT_EQ(Bytes(img.begin() + end - 9, img.begin() + end), Bytes(9, 0)) << row;
        EXPECT_NE(img[end - 10], 0xAA);
    }
    // Without padding the rows follow each other and nothing beyond them is touched.
    Bytes tight(641 * 2 * 3 + 3, 0xAA);
    b.convertTemperatureToPaletteImage(tight.data(), true);
    EXPECT_EQ(pixel(tight, 641), pixel(tight, 0));
    EXPECT_EQ(pixel(tight, 641 * 2), (std::array<unsigned char, 3>{0xAA, 0xAA, 0xAA}));

    ImageBuilder unaligned(false);
    unaligned.setData(641, 2, f.data());
    EXPECT_EQ(unaligned.getStride(), 641u);
}

TEST_F(ImageBuilderTest, ScalingMethodsSetTheWindow) {
    ImageBuilder b;
    Frame uniform(8 * 4, 1200);
    b.setData(8, 4, uniform.data());
    Bytes img(8 * 4 * 3);
    b.convertTemperatureToPaletteImage(img.data());  // min/max by default
    for (std::size_t i = 0; i < 32; ++i) {
        ASSERT_EQ(pixel(img, i), bgr(6, 0)) << i;
    }
    EXPECT_FLOAT_EQ(b.getIsothermalMin(), 20.0f);
    EXPECT_FLOAT_EQ(b.getIsothermalMax(), 20.0f);

    // Manual keeps the last window until a manual range is set.
    b.setPaletteScalingMethod(zol::eManual);
    b.setManualTemperatureRange(-20.0f, 20.0f);
    Frame f = {1200, 800, 700, 1300, 1000, 1000, 1000, 1000};
    b.setData(4, 2, f.data());
    Bytes small(4 * 2 * 3);
    b.convertTemperatureToPaletteImage(small.data());
    EXPECT_EQ(pixel(small, 0), bgr(6, 239));
    EXPECT_EQ(pixel(small, 1), bgr(6, 0));
    EXPECT_EQ(pixel(small, 2), bgr(6, 0));
    EXPECT_EQ(pixel(small, 3), bgr(6, 239));
    EXPECT_EQ(pixel(small, 4), bgr(6, 119));  // 239 / 400 * 200 = 119.5

    // Mean 1100, deviation 100; the lower end stops at 0.
    Frame two = {1000, 1200, 1000, 1200};
    b.setData(2, 2, two.data());
    b.setPaletteScalingMethod(zol::eSigma1);
    b.convertTemperatureToPaletteImage(small.data());
    EXPECT_FLOAT_EQ(b.getIsothermalMin(), 0.0f);
    EXPECT_FLOAT_EQ(b.getIsothermalMax(), 20.0f);
    b.setPaletteScalingMethod(zol::eSigma3);
    b.convertTemperatureToPaletteImage(small.data());
    EXPECT_FLOAT_EQ(b.getIsothermalMin(), -20.0f);
    EXPECT_FLOAT_EQ(b.getIsothermalMax(), 40.0f);
    Frame low = {0, 100, 0, 100};
    b.setData(2, 2, low.data());
    b.convertTemperatureToPaletteImage(small.data());
    EXPECT_FLOAT_EQ(b.getIsothermalMin(), -100.0f);
    EXPECT_FLOAT_EQ(b.getIsothermalMax(), -80.0f);
}

TEST_F(ImageBuilderTest, UnknownPalettesRenderAsSix) {
    ImageBuilder b;
    EXPECT_EQ(b.getPalette(), 6);
    Frame f = {800, 900, 1000, 1100, 1200, 1300};
    b.setData(6, 1, f.data());
    b.setPaletteScalingMethod(zol::eManual);
    Bytes six(8 * 3), other(8 * 3);
    b.convertTemperatureToPaletteImage(six.data());
    for (int p : {0, 12, -1}) {
        b.setPalette(static_cast<zol::EnumTervanColoringPalette>(p));
        b.convertTemperatureToPaletteImage(other.data());
        EXPECT_EQ(other, six) << p;
    }
    b.setPalette(zol::eBlackWhite);
    b.convertTemperatureToPaletteImage(other.data());
    EXPECT_NE(other, six);
}

TEST_F(ImageBuilderTest, TemperatureQueriesOutsideTheFrameGiveMarker) {
    ImageBuilder b;
    EXPECT_EQ(b.getTemperatureAt(0), -9999.0f);
    Frame f = {1000, 1255, 995, 0, 2000, 1001};
    b.setData(3, 2, f.data());
    EXPECT_FLOAT_EQ(b.getTemperatureAt(1), 25.5f);
    EXPECT_FLOAT_EQ(b.getTemperatureAt(2), -0.5f);
    EXPECT_FLOAT_EQ(b.getTemperatureAt(1, 1), 100.0f);
    EXPECT_EQ(b.getTemperatureAt(-1), -9999.0f);
    EXPECT_EQ(b.getTemperatureAt(6), -9999.0f);
    EXPECT_EQ(b.getTemperatureAt(3, 0), -9999.0f);  // not the first pixel of row 1
    EXPECT_EQ(b.getTemperatureAt(-1, 1), -9999.0f);
    EXPECT_EQ(b.getTemperatureAt(0, 2), -9999.0f);
}

TEST_F(ImageBuilderTest, BoxMeansAreCorrectedIntoTheInnerFrame) {
    ImageBuilder b;
    const unsigned w = 7, h = 5;
    Frame f(w * h);
    for (unsigned i = 0; i < f.size(); ++i) {
        f[i] = static_cast<unsigned short>(1000 + 10 * i);
    }
    b.setData(w, h, f.data());
    auto at = [&](unsigned x, unsigned y) { return (f[y * w + x] - 1000) / 10.0f; };
    EXPECT_FLOAT_EQ(b.getMeanTemperature(2, 1, 4, 3), at(3, 2));
    EXPECT_FLOAT_EQ(b.getMeanTemperature(1, 1, 1, 1), at(1, 1));

    std::string log =
        captureErrors([&] { EXPECT_FLOAT_EQ(b.getMeanTemperature(0, 0, 0, 0), at(1, 1)); });
    EXPECT_NE(log.find("Coordinates invalid ... setting to: 1 1 1 1"), std::string::npos) << log;
    log = captureErrors([&] { EXPECT_FLOAT_EQ(b.getMeanTemperature(9, 1, 2, 99), at(5, 2)); });
    EXPECT_NE(log.find("setting to: 5 1 5 3"), std::string::npos) << log;

    // A new frame rebuilds the table.
    Frame flat(w * h, 1300);
    b.setData(w, h, flat.data());
    EXPECT_FLOAT_EQ(b.getMeanTemperature(1, 1, 5, 3), 30.0f);

    // Frames without an inner pixel answer the marker instead of reading outside.
    ImageBuilder tiny;
    Frame two(2 * 8, 1000);
    tiny.setData(2, 8, two.data());
    captureErrors([&] { EXPECT_EQ(tiny.getMeanTemperature(0, 0, 1, 1), -9999.0f); });
}

TEST_F(ImageBuilderTest, MinMaxRegionFindsTheBoxesAndSkipsSmallFrames) {
    ImageBuilder b;
    const unsigned w = 12, h = 9;
    Frame f(w * h, 1200);
    f[4 * w + 7] = 1500;
    f[3 * w + 2] = 900;
    b.setData(w, h, f.data());
    zol::ExtremalRegion cold, hot;
    b.getMinMaxRegion(1, &cold, &hot);
    // The first box holding the hot pixel, scanning rows then columns.
    EXPECT_EQ(hot.x1, 5u);
    EXPECT_EQ(hot.y1, 2u);
    EXPECT_EQ(hot.x2, 7u);
    EXPECT_EQ(hot.y2, 4u);
    EXPECT_FLOAT_EQ(hot.temperature, (1200 + 300 / 9.0f - 1000) / 10);
    EXPECT_EQ(cold.x1, 1u);
    EXPECT_EQ(cold.y1, 1u);
    EXPECT_EQ(cold.x2, 3u);
    EXPECT_EQ(cold.y2, 3u);
    EXPECT_FLOAT_EQ(cold.temperature, (1200 - 300 / 9.0f - 1000) / 10);

    // Radius 4 needs 2 * 4 + 3 = 11 rows: a 12 x 9 frame has no box; the results stay.
    zol::ExtremalRegion untouchedCold, untouchedHot;
    untouchedCold.temperature = 1.5f;
    untouchedHot.x2 = 77;
    b.getMinMaxRegion(4, &untouchedCold, &untouchedHot);
    EXPECT_EQ(untouchedCold.temperature, 1.5f);
    EXPECT_EQ(untouchedHot.x2, 77u);
    ImageBuilder empty;
    empty.getMinMaxRegion(0, &untouchedCold, &untouchedHot);
    EXPECT_EQ(untouchedHot.x2, 77u);
}

TEST_F(ImageBuilderTest, PaletteBarRunsFromHotToCold) {
    ImageBuilder b;
    unsigned char* bar = nullptr;
    b.getPaletteBar(1, 240, bar);
    ASSERT_NE(bar, nullptr);
    Bytes img(bar, bar + 240 * 3);
    delete[] bar;
    EXPECT_EQ(pixel(img, 0), bgr(6, 239));
    EXPECT_EQ(pixel(img, 1), bgr(6, 239));  // 1 * 239 / 240 = 0
    EXPECT_EQ(pixel(img, 2), bgr(6, 238));
    EXPECT_EQ(pixel(img, 239), bgr(6, 1));

    b.setPalette(zol::eBands);
    b.getPaletteBar(3, 2, bar);
    Bytes two(bar, bar + 3 * 2 * 3);
    delete[] bar;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(pixel(two, i), bgr(8, 239));
        EXPECT_EQ(pixel(two, 3 + i), bgr(8, 120));
    }
}

TEST_F(ImageBuilderTest, HistogramBinsAndTheirEnds) {
    ImageBuilder b;
    Frame f = {1300, 1200, 1400, 1000, 2000, 1301, 1199};
    b.setData(7, 1, f.data());
    std::vector<unsigned> h(201, 7);
    b.calcHistogram(h.data(), 201, 20, 40);
    EXPECT_EQ(h[100], 1u);
    EXPECT_EQ(h[101], 1u);
    EXPECT_EQ(h[0], 3u);    // 20.0, and below
    EXPECT_EQ(h[200], 2u);  // 40.0, and above
    unsigned total = 0;
    for (unsigned v : h) {
        total += v;
    }
    EXPECT_EQ(total, 7u);

    // An empty span: below it the first bin, the rest the last.
    std::vector<unsigned> e(4, 9);
    b.calcHistogram(e.data(), 4, 20, 20);
    EXPECT_EQ(e, (std::vector<unsigned>{2, 0, 0, 5}));
    b.calcHistogram(e.data(), 0, 20, 40);  // no bins: untouched
    EXPECT_EQ(e, (std::vector<unsigned>{2, 0, 0, 5}));
}

TEST_F(ImageBuilderTest, CrosshairStaysInsideTheImage) {
    ImageBuilder b;
    Frame f(10 * 10, 1000);
    b.setData(10, 10, f.data());
    const unsigned s = b.getStride();  // 12
    Bytes img(s * 10 * 3, 0);
    b.drawCrosshair(img.data(), 4, 5, nullptr);
    auto at = [&](unsigned x, unsigned y) { return pixel(img, y * s + x); };
    const std::array<unsigned char, 3> green = {0, 255, 0}, black = {0, 0, 0};
    for (unsigned i = 1; i <= 7; ++i) {
        EXPECT_EQ(at(i, 5), green);
        EXPECT_EQ(at(4, i + 1), green);
    }
    EXPECT_EQ(at(0, 5), black);
    EXPECT_EQ(at(8, 5), black);
    EXPECT_EQ(at(5, 6), black);

    const unsigned char red[3] = {9, 8, 7};
    const Bytes before = img;
    const std::vector<std::pair<unsigned, unsigned>> outside = {{2, 5}, {5, 2},   {8, 5},
                                                                {5, 6}, {~0u, 5}, {5, ~0u}};
    for (auto xy : outside) {
        b.drawCrosshair(img.data(), xy.first, xy.second, red);
    }
    EXPECT_EQ(img, before);
    b.drawCrosshair(img.data(), 7, 5, red);
    EXPECT_EQ(at(10, 5), (std::array<unsigned char, 3>{9, 8, 7}));

    // No frame yet: stride and height are 0 and nothing may be drawn.
    ImageBuilder none;
    none.drawCrosshair(img.data(), 3, 3, red);
    EXPECT_EQ(at(3, 3), black);
}

TEST_F(ImageBuilderTest, LookupTableConversion) {
    ImageBuilder b;  // window 800..1200
    std::vector<unsigned> lookup(65536, 77);
    b.fillPaletteLookup(lookup.data());
    EXPECT_EQ(lookup[0], 0u);
    EXPECT_EQ(lookup[799], 0u);
    EXPECT_EQ(lookup[800], 0u);
    EXPECT_EQ(lookup[1000], 119u);
    EXPECT_EQ(lookup[1199], 238u);
    EXPECT_EQ(lookup[1200], 239u);
    EXPECT_EQ(lookup[65535], 239u);

    Frame f = {800, 1200, 1000, 5, 6, 7};
    b.setData(3, 2, f.data());
    lookup[5] = 1000;  // a caller's index past the palette's end paints its last entry
    lookup[6] = 0xFFFFFFFFu;
    lookup[7] = 3;
    Bytes img(4 * 2 * 3, 0xAA);
    b.convertTemperatureToPaletteImage(lookup.data(), img.data());
    ImageBuilder::PaletteTable t;
    b.getPaletteTable(t);
    auto rgb = [&](int e) { return std::array<unsigned char, 3>{t[e][0], t[e][1], t[e][2]}; };
    EXPECT_EQ(pixel(img, 0), rgb(0));
    EXPECT_EQ(pixel(img, 1), rgb(239));
    EXPECT_EQ(pixel(img, 2), rgb(119));
    EXPECT_EQ(pixel(img, 3), (std::array<unsigned char, 3>{0xAA, 0xAA, 0xAA}));  // skipped
    EXPECT_EQ(pixel(img, 4), rgb(239));
    EXPECT_EQ(pixel(img, 5), rgb(239));
    EXPECT_EQ(pixel(img, 6), rgb(3));
    EXPECT_EQ(pixel(img, 7), (std::array<unsigned char, 3>{0xAA, 0xAA, 0xAA}));
}

TEST_F(ImageBuilderTest, CopiesOwnTheirFrames) {
    Frame f = {1100, 1200, 1300, 1400};
    ImageBuilder copy;
    {
        ImageBuilder original;
        original.setPalette(zol::eHot);
        original.setData(2, 2, f.data());
        ImageBuilder constructed(original);
        copy = original;
        Frame g(4, 1000);
        original.setData(2, 2, g.data());
        EXPECT_FLOAT_EQ(constructed.getTemperatureAt(3), 40.0f);
    }
    EXPECT_EQ(copy.getPalette(), zol::eHot);
    EXPECT_FLOAT_EQ(copy.getTemperatureAt(1, 1), 40.0f);
    EXPECT_FLOAT_EQ(copy.getMeanTemperature(0, 0, 0, 0), -9999.0f);  // 2 x 2: no inner box
    copy = copy;
    EXPECT_FLOAT_EQ(copy.getTemperatureAt(0), 10.0f);
}

TEST_F(ImageBuilderTest, YuvGroupsBecomeTwoPixels) {
    const unsigned char yuv[8] = {100, 200, 150, 50, 128, 128, 0, 128};
    unsigned char rgb[12] = {};
    ImageBuilder::yuv422torgb24(yuv, rgb, 2, 2);
    // Tables truncate toward zero: Gu(200) = -24768 / 1000 = -24, not -25.
    const unsigned char expected[12] = {227, 131, 0, 255, 181, 41, 128, 128, 128, 0, 0, 0};
    EXPECT_EQ(Bytes(rgb, rgb + 12), Bytes(expected, expected + 12));
}

}  // namespace
