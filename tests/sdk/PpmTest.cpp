// PPM images: binary ones in memory and on disk, decoded elsewhere, and text ones read back.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/TestEnv.h"
#include "kelvix/ImageBuilder.h"

namespace {

using Bytes = std::vector<unsigned char>;
using zol::ImageBuilder;

class PpmTest : public kelvix_test::TempDirTest {
  protected:
    // readPPM3 on a file with the given text; the image (if any) goes to `image`.
    int read(const std::string& text, Bytes& image, unsigned& w, unsigned& h) {
        writeFile("in.ppm", text);
        unsigned char* rgb = nullptr;
        w = h = 12345;
        const int rc = ImageBuilder::readPPM3(path("in.ppm").c_str(), &rgb, &w, &h);
        image.clear();
        if (rgb) {
            image.assign(rgb, rgb + static_cast<std::size_t>(w) * h * 3);
            delete[] rgb;
        }
        return rc;
    }
};

TEST_F(PpmTest, BinaryPpmInMemoryAndOnDisk) {
    const Bytes rgb = {1, 2, 3, 250, 251, 252, 10, 20, 30, 40, 50, 60, 70, 80, 90, 0, 255, 7};
    unsigned char* ppm = nullptr;
    unsigned size = 0;
    ImageBuilder::convert2PPM(ppm, &size, const_cast<unsigned char*>(rgb.data()), 3, 2);
    const std::string header = "P6\n3 2\n255\n";
    ASSERT_EQ(size, header.size() + rgb.size());
    EXPECT_EQ(std::string(ppm, ppm + header.size()), header);
    EXPECT_EQ(Bytes(ppm + header.size(), ppm + size), rgb);
    delete[] ppm;

    EXPECT_EQ(ImageBuilder::serializePPM(path("out.ppm").c_str(),
                                         const_cast<unsigned char*>(rgb.data()), 3, 2),
              1);
    EXPECT_EQ(readFile("out.ppm"), header + std::string(rgb.begin(), rgb.end()));

    // Failures are reported, not answered with success.
    EXPECT_EQ(ImageBuilder::serializePPM(path("no/such/dir/out.ppm").c_str(),
                                         const_cast<unsigned char*>(rgb.data()), 3, 2),
              -1);
    EXPECT_EQ(ImageBuilder::serializePPM(nullptr, const_cast<unsigned char*>(rgb.data()), 3, 2),
              -1);
}

TEST_F(PpmTest, WrittenPpmDecodesElsewhereToTheSamePixels) {
    if (std::system("command -v convert >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "ImageMagick's convert is not installed";
    }
    const unsigned w = 17, h = 5;
    Bytes rgb(w * h * 3);
    for (std::size_t i = 0; i < rgb.size(); ++i) {
        rgb[i] = static_cast<unsigned char>(i * 37 + 11);
    }
    ASSERT_EQ(ImageBuilder::serializePPM(path("img.ppm").c_str(), rgb.data(), w, h), 1);
    const std::string cmd = "convert '" + path("img.ppm") + "' -depth 8 'rgb:" + path("img.rgb") +
                            "' && identify -format '%w %h' '" + path("img.ppm") + "' > '" +
                            path("size.txt") + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    EXPECT_EQ(readFile("size.txt"), "17 5");
    const std::string decoded = readFile("img.rgb");
    EXPECT_EQ(Bytes(decoded.begin(), decoded.end()), rgb);
}

TEST_F(PpmTest, TextPpmInBothLayoutsWithComments) {
    const std::string samples = "255\n0\n128 # after a number\n\n0\n0\n51\n";
    Bytes oneLine, twoLines;
    unsigned w, h;
    ASSERT_EQ(read("P3\n# by hand\n2 1   # width and height\n255\n" + samples, oneLine, w, h), 1);
    EXPECT_EQ(w, 2u);
    EXPECT_EQ(h, 1u);
    ASSERT_EQ(
        read("P3\r\n2\r\n   \r\n# height next\r\n1\r\n255 # max\r\n" + samples, twoLines, w, h), 1);
    EXPECT_EQ(w, 2u);
    EXPECT_EQ(h, 1u);
    EXPECT_EQ(oneLine, (Bytes{255, 0, 128, 0, 0, 51}));
    EXPECT_EQ(twoLines, oneLine);

    // Samples scale to 0..255 by the maximum, rounded; values past it stay at 255.
    Bytes img;
    ASSERT_EQ(read("P3\n1 1\n15\n7\n8\n99\n", img, w, h), 1);
    EXPECT_EQ(img, (Bytes{119, 136, 255}));
}

TEST_F(PpmTest, TextPpmRefusesWhatItCannotHold) {
    Bytes img;
    unsigned w, h;
    unsigned char* rgb = nullptr;
    EXPECT_EQ(ImageBuilder::readPPM3(path("missing.ppm").c_str(), &rgb, &w, &h), -1);
    EXPECT_EQ(read("P6\n1 1\n255\n", img, w, h), -1);
    EXPECT_EQ(w, 12345u);  // not touched before the magic number matched
    EXPECT_EQ(read("P3\n1 1\n0.5\n1\n", img, w, h), -1);
    EXPECT_EQ(read("P3\n70000 70000\n255\n1\n", img, w, h), -1);
    EXPECT_EQ(w, 0u);
    EXPECT_EQ(h, 0u);
    EXPECT_TRUE(img.empty());
    EXPECT_EQ(read("P3\n2 2\n", img, w, h), -1);  // header breaks off
    EXPECT_EQ(read("P3\nwide high\n255\n", img, w, h), -1);

    // Extra samples are dropped; a file that ends early leaves black pixels, but one too short
    // to hold its image at all is refused before anything is allocated for it.
    ASSERT_EQ(read("P3\n1 1\n255\n1\n2\n3\n4\n5\n6\n", img, w, h), 1);
    EXPECT_EQ(img, (Bytes{1, 2, 3}));
    ASSERT_EQ(read("P3\n2 1\n255\n9\n# cut\n# off\n# here\n", img, w, h), 1);
    EXPECT_EQ(img, (Bytes{9, 0, 0, 0, 0, 0}));
    EXPECT_EQ(read("P3\n2 1\n255\n9\n", img, w, h), -1);
    EXPECT_EQ(read("P3\n30000 20000\n255\n1\n", img, w, h), -1);
    EXPECT_TRUE(img.empty());
}

}  // namespace
