// The imager's init and reconnect: HID and playback, refusals, rates, format and calibration
// lookups, FIFOs and hostile files in place of files, and the instance limit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>

#include "KelvixFixture.h"
#include "device/PlaybackControlDevice.h"
#include "imgproc/ImageProcessing.h"
#include "imgproc/OpPostProcessing.h"
#include "kelvix/IRFileReader.h"
#include "kelvix/ImageBuilder.h"
#include "platform/HResult.h"
#include "sdk/RawdataHeader.h"

namespace {

using kelvix_test::KelvixTest;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(KelvixInstances, SeventeenthInstanceAbortsAndFreedSlotIsReused) {
    std::vector<std::unique_ptr<zol::Kelvix>> all;
    for (unsigned i = 0; i < zol::Kelvix::kMaxInstances; ++i) {
        all.push_back(std::make_unique<zol::Kelvix>());
        EXPECT_EQ(all.back()->getInstanceIndex(), i);
    }
    EXPECT_DEATH(
        {
            zol::Logger::getInstance()->configure("death", zol::Logger::ModeConsole, 0, 0);
            zol::Kelvix extra;
        },
        "Maximum number of instances reached ... aborting");
    all[5].reset();
    all[11].reset();
    all[5] = std::make_unique<zol::Kelvix>();
    EXPECT_EQ(all[5]->getInstanceIndex(), 5u);
    all[11] = std::make_unique<zol::Kelvix>();
    EXPECT_EQ(all[11]->getInstanceIndex(), 11u);
}

TEST_F(KelvixTest, InitOverHidAndOnlyOnce) {
    zol::Kelvix k;
    ASSERT_TRUE(initHid(k));
    ImageProcessing* chain = k.getImageProcessingChain();
    ASSERT_NE(chain, nullptr);
    EXPECT_EQ(k.getWidthIn(), 160u);
    EXPECT_EQ(k.getHeightIn(), 121u);
    EXPECT_EQ(k.getWidth(), 160u);
    EXPECT_EQ(k.getHeight(), 120u);
    EXPECT_EQ(k.getBitCount(), 16);
    EXPECT_FLOAT_EQ(k.getMaxFramerate(), 9.0f);
    EXPECT_FLOAT_EQ(k.getHWInterval(), 1.0f / 9.0f);
    EXPECT_EQ(k.getHWRevision(), kHwRev);
    EXPECT_EQ(k.getFWRevision(), kFwRev);
    EXPECT_FALSE(k.hasBispectralTechnology());

    // A second init changes nothing, even with other arguments.
    params_.serial = 0;
    EXPECT_TRUE(k.init(&params_, 27, 1, 1, false));
    EXPECT_EQ(k.getImageProcessingChain(), chain);
    EXPECT_EQ(k.getWidthIn(), 160u);
}

TEST_F(KelvixTest, RefusalsBeforeTheCalibration) {
    zol::Kelvix k;
    params_.serial = 0;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(initHid(k));
    EXPECT_TRUE(contains(testing::internal::GetCapturedStderr(),
                         "Uninitialized video device passed (serial = 0)"));
    EXPECT_EQ(k.getImageProcessingChain(), nullptr);
    EXPECT_EQ(k.getWidthIn(), 0u);

    params_.serial = kSerial;
    for (auto revs : {std::pair<unsigned short, unsigned short>{0, kFwRev}, {kHwRev, 0}}) {
        testing::internal::CaptureStderr();
        EXPECT_FALSE(
            k.init(&params_, kRate, widthIn(), heightIn(), false, revs.first, revs.second));
        EXPECT_TRUE(contains(testing::internal::GetCapturedStderr(),
                             "HWRev and FWRev must be passed, if HID is not used."));
    }

    // A rate of 0, or one whose frame period is below one 100-ns unit.
    for (unsigned rate : {0u, 20000000u}) {
        testing::internal::CaptureStderr();
        EXPECT_FALSE(initHid(k, rate));
        EXPECT_TRUE(contains(testing::internal::GetCapturedStderr(), "ERROR")) << rate;
    }

    params_.serial = kSerial + 1;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(initHid(k));
    EXPECT_TRUE(contains(testing::internal::GetCapturedStderr(),
                         "Main calibration file missing or inaccessible: " + path("cali") +
                             "/Cali-" + std::to_string(kSerial + 1) + ".xml"));
}

TEST_F(KelvixTest, PlaybackWithRevisionsUsesTheGivenIdentity) {
    zol::Kelvix k;
    ASSERT_TRUE(initPlayback(k));
    ImageProcessing* chain = k.getImageProcessingChain();
    ASSERT_NE(chain, nullptr);
    EXPECT_NE(dynamic_cast<PlaybackControlDevice*>(chain->getDevice()), nullptr);
    EXPECT_EQ(k.getHWRevision(), kHwRev);
    EXPECT_EQ(k.getFWRevision(), kFwRev);
    EXPECT_EQ(chain->getShared().hardwareRevision, kHwRev);
    EXPECT_FLOAT_EQ(k.getTempBox(), -100.0f);  // no frame yet and no device temperature
}

TEST_F(KelvixTest, RequestedRateIsLimitedWithoutShortImagerCapability) {
    zol::Kelvix k;
    params_.framerate = 27.0f;
    ASSERT_TRUE(initPlayback(k, 27));
    EXPECT_NEAR(k.getImageProcessingChain()->getPostProcessing()->getRate(), 1.0 / 3.0, 1e-6);

    zol::Kelvix slow;
    params_.framerate = 20.0f;  // above F = 9
    ASSERT_TRUE(initPlayback(slow, 9));
    EXPECT_DOUBLE_EQ(slow.getImageProcessingChain()->getPostProcessing()->getRate(), 1.0);
}

TEST_F(KelvixTest, RateWithoutFormatFailsInTheChain) {
    // No format for 30 Hz: the query fails and so does attaching the frame; the steps after it
    // are skipped and the chain is gone.
    zol::Kelvix k;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(initPlayback(k, 30));
    EXPECT_TRUE(contains(testing::internal::GetCapturedStderr(),
                         "Error initializing image processing chain"));
    EXPECT_EQ(k.getImageProcessingChain(), nullptr);
    EXPECT_TRUE(initPlayback(k, 9));
}

TEST_F(KelvixTest, ReconnectAfterFailuresStartsAfresh) {
    zol::Kelvix k;
    // Fails late, with device, chain and timers built: an unlisted range.
    params_.tMin = -10;
    params_.tMax = 50;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(initHid(k));
    EXPECT_TRUE(contains(testing::internal::GetCapturedStderr(),
                         "Error setting temperature range and frame rate"));
    // A plain init again releases that first.
    params_.tMin = -20;
    params_.tMax = 100;
    ASSERT_TRUE(initHid(k));

    // Fails early (format definitions missing), then reconnects.
    zol::Kelvix other;
    delete[] params_.formatsPath;
    params_.formatsPath = platform::newWideArray(wpath("nowhere"));
    testing::internal::CaptureStderr();
    EXPECT_FALSE(other.reconnect(&params_, kRate, widthIn(), heightIn(), false, kHwRev, kFwRev));
    EXPECT_TRUE(contains(testing::internal::GetCapturedStderr(),
                         "Formats.def file cannot be found. Check configuration of <formatspath> "
                         "tag and existence of file."));
    delete[] params_.formatsPath;
    params_.formatsPath = platform::newWideArray(wpath("cali"));
    EXPECT_TRUE(other.reconnect(&params_, kRate, widthIn(), heightIn(), false, kHwRev, kFwRev));
    EXPECT_TRUE(other.reconnect(&params_, kRate, widthIn(), heightIn(), false, kHwRev, kFwRev));
    EXPECT_NE(other.getImageProcessingChain(), nullptr);
}

TEST_F(KelvixTest, FormatsDefinitionsFallBackToTheApplicationDataFolder) {
    zol::IRCalibrationManager::getInstance()->setFormatsDir(L"");
    delete[] params_.formatsPath;
    params_.formatsPath = nullptr;
    zol::Kelvix k;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(initPlayback(k));
    EXPECT_TRUE(contains(testing::internal::GetCapturedStderr(), "Formats.def file cannot be"));
    EXPECT_TRUE(platform::directoryExists(wpath("share/Imager")));  // created on the way

    std::ifstream in(path("cali/Formats.def"));
    std::ofstream out(path("share/Imager/Formats.def"));
    out << in.rdbuf();
    out.close();
    EXPECT_TRUE(initPlayback(k));
}

TEST_F(KelvixTest, MissingCalibrationFilesAreListed) {
    std::remove(path("cali/Kennlinie-4200123-23-0-250.prn").c_str());
    zol::Kelvix k;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(initPlayback(k));
    EXPECT_TRUE(contains(testing::internal::GetCapturedStderr(),
                         "Missing calibration files Kennlinie-4200123-23-0-250.prn"));
}

// A calibration whose first optic has a text, to see it handed back.
class KelvixNamedOpticsTest : public KelvixTest {
  protected:
    KelvixNamedOpticsTest() { serial_ = kSerial + 10; }
    sim::CalibrationSet set() const override {
        sim::CalibrationSet s = KelvixTest::set();
        s.optics.front().text = "std";
        s.optics.front().ranges.erase(s.optics.front().ranges.begin());  // first range 0..250
        return s;
    }
};

TEST_F(KelvixNamedOpticsTest, DefaultRangeAndOpticsTextFromTheFirstOptic) {
    params_.tMin = params_.tMax = 0;
    params_.fov = 0;  // taken from the calibration file
    zol::Kelvix k;
    testing::internal::CaptureStderr();
    ASSERT_TRUE(initPlayback(k));
    EXPECT_TRUE(contains(testing::internal::GetCapturedStderr(),
                         "No temperature range configuration specified. Setting default values "
                         "tMin: 0 , tMax: 250"));
    ASSERT_NE(params_.opticsText, nullptr);
    EXPECT_EQ(std::wstring(params_.opticsText), L"std");
    zol::RawdataHeader h;
    k.initRawdataHeader(h);
    EXPECT_EQ(+h.optics, 23);
    EXPECT_EQ(+h.tempMinRange, 1000);
    EXPECT_EQ(+h.tempMaxRange, 3500);

    // A configured maximum with a zero minimum is a range of its own, not the default.
    zol::Kelvix other;
    params_.tMin = 0;
    params_.tMax = 100;
    EXPECT_FALSE(initPlayback(other));
}

class KelvixNoFovTest : public KelvixTest {
  protected:
    KelvixNoFovTest() { serial_ = kSerial + 11; }
    sim::CalibrationSet set() const override {
        sim::CalibrationSet s = KelvixTest::set();
        s.optics.resize(1);
        s.optics.front().fov = 0;
        return s;
    }
};

TEST_F(KelvixNoFovTest, FieldOfViewMustBeKnown) {
    params_.fov = 0;
    zol::Kelvix k;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(initPlayback(k));
    EXPECT_TRUE(contains(testing::internal::GetCapturedStderr(),
                         "Unable to determine valid field of view"));
}

class KelvixNoOpticsTest : public KelvixTest {
  protected:
    KelvixNoOpticsTest() { serial_ = kSerial + 12; }
    sim::CalibrationSet set() const override {
        sim::CalibrationSet s = KelvixTest::set();
        s.optics.clear();
        return s;
    }
};

TEST_F(KelvixNoOpticsTest, NoRangeConfiguredAndNoneCalibratedIsRefused) {
    params_.tMin = params_.tMax = 0;
    zol::Kelvix k;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(initPlayback(k));
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(contains(log, "ERROR")) << log;
    EXPECT_EQ(params_.opticsText, nullptr);
}

}  // namespace

// A FIFO in place of any file the imager reads is refused at once, never waited on: the format
// definitions, correction data, a temperature table, a recording and a PPM image.
TEST_F(KelvixTest, FifosInPlaceOfFilesAreRefusedAtOnce) {
    const std::string stem = "cali/Cali-" + std::to_string(serial_) + "-23-M20-100";
    const std::string table = "cali/Kennlinie-" + std::to_string(serial_) + "-23-M20-100.prn";
    for (const std::string& name : {std::string("cali/Formats.def"), stem + ".dat", table}) {
        const std::string kept = readFile(name);
        std::remove(path(name).c_str());
        ASSERT_EQ(std::system(("mkfifo '" + path(name) + "'").c_str()), 0);
        zol::Kelvix k;
        EXPECT_FALSE(initHid(k)) << name;
        std::remove(path(name).c_str());
        writeFile(name, kept);
    }
    ASSERT_EQ(std::system(("mkfifo '" + path("fifo") + "'").c_str()), 0);
    zol::IRFileReader reader(path("fifo"), params_);
    EXPECT_FALSE(reader.isReady());
    unsigned char* rgb = nullptr;
    unsigned w = 0, h = 0;
    EXPECT_EQ(zol::ImageBuilder::readPPM3(path("fifo").c_str(), &rgb, &w, &h), -1);
}

// Hand-made files that once made the imager loop, exhaust memory or read holes for half a
// minute: each is refused at once with an ERROR that names the file and why.
TEST_F(KelvixTest, HostileFilesAreRefusedAtOnceWithTheirNameAndReason) {
    const std::string table = "cali/Kennlinie-" + std::to_string(serial_) + "-23-M20-100.prn";
    const std::string formats = readFile("cali/Formats.def");
    const std::string words = std::to_string(widthIn() * heightIn());
    // The sim's one-sub-frame blocks, given `count` sub-frames of one raw frame's header words.
    auto subFrames = [&](const std::string& count, int lines) {
        std::string text = formats;
        for (std::size_t at; (at = text.find("SFrames 1\nDef ")) != std::string::npos;) {
            std::string defs;
            for (int i = 0; i < lines; ++i) {
                defs += "Def (0 1 m:" + words + ")\n";
            }
            text.replace(at, text.find('\n', at + 14) + 1 - at, "SFrames " + count + "\n" + defs);
        }
        return text;
    };
    zol::RawdataHeader h;
    h.serial = kSerial, h.width = widthIn(), h.height = heightIn(), h.bitCount = 16;
    h.avgTimePerFrame = 10000000 / kRate, h.optics = 23, h.tempMinRange = 800;
    h.tempMaxRange = 2000, h.hwRev = kHwRev, h.fwRev = kFwRev;
    const std::string recording(reinterpret_cast<const char*>(&h), sizeof h);
    const auto init = [&] {
        zol::Kelvix k;
        return initHid(k);
    };
    const auto play = [&] { return zol::IRFileReader(path("hole.raw"), params_).isReady(); };
    const auto ppm = [&] {
        unsigned char* rgb = nullptr;
        unsigned w = 0, h = 0;
        const int rc = zol::ImageBuilder::readPPM3(path("hole.ppm").c_str(), &rgb, &w, &h);
        delete[] rgb;
        return rc == 1;
    };
    constexpr std::uintmax_t kGiB = std::uintmax_t{1} << 30;
    struct Case {
        std::string file, text;
        std::uintmax_t size;  // beyond the text a hole up to this size
        std::function<bool()> succeeds;
        std::string why;
    };
    const Case cases[] = {
        // Its error never grows as the wavelength falls: the fit walked on for ever.
        {table, "0 20\n10 25\n5 50\n20 100\n21 110\n22 120\n23 130\n24 140\n", 0, init,
         "refused: no wavelength"},
        {table, std::string(16 << 20, '\n'), 0, init, "refused at line 65537: more than 65536"},
        {table, "0 20\n1 21\n" + std::string(5000, ' ') + "\n", 0, init, "refused at line 3"},
        {"cali/Formats.def", subFrames("2000000000", 0), 0, init, "more sub-frames than"},
        {"cali/Formats.def", subFrames("40", 40), 0, init, "Def line 2: the sub-frames so far"},
        {"hole.ppm", "P3\n2 2\n255\n", 64 << 20, ppm, "refused: larger than 16 MiB"},
        {"hole.ppm", "P3\n2 2\n255\n", 8 << 20, ppm, "refused: a line longer than"},
        {"hole.raw", recording, 20 * kGiB, play, "holds no data beyond them"},
    };
    const std::string keptTable = readFile(table);
    for (const Case& c : cases) {
        writeFile(c.file, c.text);
        if (c.size > 0) {
            std::filesystem::resize_file(path(c.file), c.size);
        }
        testing::internal::CaptureStderr();
        EXPECT_FALSE(c.succeeds()) << c.why;
        const std::string log = testing::internal::GetCapturedStderr();
        EXPECT_TRUE(contains(log, "ERROR")) << c.why;
        EXPECT_TRUE(contains(log, path(c.file))) << c.why << "\n" << log.substr(0, 2000);
        EXPECT_TRUE(contains(log, c.why)) << log.substr(0, 2000);
        writeFile("cali/Formats.def", formats);
        writeFile(table, keptTable);
    }
}
