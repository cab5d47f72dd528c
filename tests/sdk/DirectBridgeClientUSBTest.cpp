// The in-process bridge client: frames handed out once, waiting callers woken, padded palette
// rows, getters and frames from several threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "common/BridgeClientUSBAccess.h"
#include "kelvix/DirectBridgeClientUSB.h"
#include "kelvix/ImageBuilder.h"

namespace {

using Access = zol::DirectBridgeClientUSBTestAccess;
using Clock = std::chrono::steady_clock;

std::vector<unsigned short> ramp(unsigned w, unsigned h, unsigned short base) {
    std::vector<unsigned short> frame(static_cast<std::size_t>(w) * h);
    for (std::size_t i = 0; i < frame.size(); ++i) {
        frame[i] = static_cast<unsigned short>(base + i % 700);
    }
    return frame;
}

void deliver(zol::DirectBridgeClientUSB& client, std::vector<unsigned short>& frame, unsigned w,
             unsigned h) {
    client.onThermalFrame(frame.data(), w, h, zol::IRFrameMetadata{}, nullptr);
}

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The getters wait up to 1000 ms for a frame they have not handed out yet: frames come from
// the capture thread, requests from application threads.
class DirectBridgeClientUSBThreaded : public ::testing::Test {
  protected:
    zol::DirectBridgeClientUSB client_;
};

TEST_F(DirectBridgeClientUSBThreaded, WithoutConnectionNothingReachesTheCamera) {
    EXPECT_FALSE(client_.getThermalImage().first);
    EXPECT_EQ(client_.getPaletteImage().second, nullptr);
    const auto both = client_.getThmPalImage();
    EXPECT_FALSE(both.first);
    EXPECT_EQ(both.second.first, nullptr);
    EXPECT_FALSE(client_.disconnect());
    // Palette settings are kept for later images; imager settings have nowhere to go.
    EXPECT_EQ(client_.setPalette(3), 0);
    EXPECT_EQ(client_.setPaletteScale(1), 0);
    EXPECT_EQ(client_.triggerFlag(), -1);
    EXPECT_EQ(client_.setFlagAutoMode(true), -1);
    EXPECT_EQ(client_.setTempRange(0, 50), -1);
    EXPECT_EQ(client_.setRadiationParameters(0.9f, 1.0f, 20.0f), -1);
    // A connection attempt without a readable configuration fails.
    client_.init("/nonexistent/config.xml", "", "");
    EXPECT_FALSE(client_.connect());
    EXPECT_FALSE(client_.isConnected());
}

TEST_F(DirectBridgeClientUSBThreaded, EachFrameIsHandedOutOnce) {
    Access::pretendConnected(client_, 4, 2);
    auto start = Clock::now();
    auto none = client_.getThermalImage();
    EXPECT_FALSE(none.first);
    EXPECT_EQ(none.second, nullptr);
    EXPECT_GE(msSince(start), 950.0);

    std::vector<unsigned short> frame = ramp(4, 2, 1200);
    deliver(client_, frame, 4, 2);
    start = Clock::now();
    std::unique_ptr<zol::ThermalImage> image(client_.getThermalImage().second);
    ASSERT_NE(image, nullptr);
    EXPECT_LT(msSince(start), 500.0);
    EXPECT_EQ(image->frameCounter, 0u);
    EXPECT_EQ(image->width, 4u);
    EXPECT_EQ(image->height, 2u);
    EXPECT_EQ(image->data, frame);

    // A frame of another size is dropped and is not new; the next getter waits in vain.
    std::vector<unsigned short> other = ramp(3, 3, 900);
    deliver(client_, other, 3, 3);
    start = Clock::now();
    EXPECT_FALSE(client_.getPaletteImage().first);
    EXPECT_GE(msSince(start), 950.0);
}

TEST_F(DirectBridgeClientUSBThreaded, AFrameWakesOneWaitingCaller) {
    Access::pretendConnected(client_, 8, 4);
    std::vector<unsigned short> frame = ramp(8, 4, 1100);
    auto wait = [this] {
        std::unique_ptr<zol::ThermalImage> image(client_.getThermalImage().second);
        return image != nullptr;
    };
    auto first = std::async(std::launch::async, wait);
    auto second = std::async(std::launch::async, wait);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto start = Clock::now();
    deliver(client_, frame, 8, 4);
    const bool a = first.get();
    const bool b = second.get();
    EXPECT_NE(a, b) << "one caller gets the frame, the other times out";
    EXPECT_GE(msSince(start), 800.0);
}

TEST_F(DirectBridgeClientUSBThreaded, PaletteImagesHavePaddedRows) {
    Access::pretendConnected(client_, 382, 288);
    client_.setPalette(zol::eRainbow);
    client_.setPaletteScale(zol::eManual);
    std::vector<unsigned short> frame = ramp(382, 288, 700);
    deliver(client_, frame, 382, 288);
    std::unique_ptr<zol::PaletteImage> image(client_.getPaletteImage().second);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->width, 384u);
    EXPECT_EQ(image->height, 288u);
    EXPECT_EQ(image->channels, 3u);
    EXPECT_EQ(image->bytesPerChannel, 1u);
    ASSERT_EQ(image->rgb.size(), 384u * 288u * 3u);

    zol::ImageBuilder reference(true);
    reference.setPalette(zol::eRainbow);
    reference.setPaletteScalingMethod(zol::eManual);
    reference.setData(382, 288, frame.data());
    std::vector<unsigned char> expected(384 * 288 * 3, 0xAB);
    reference.convertTemperatureToPaletteImage(expected.data(), false);
    EXPECT_EQ(image->rgb, expected);
    for (unsigned y = 0; y < 288; ++y) {
        for (unsigned b = 382 * 3; b < 384 * 3; ++b) {
            ASSERT_EQ(image->rgb[y * 384 * 3 + b], 0) << "row " << y;
        }
    }

    // Both images of one frame: the thermal image as delivered, the palette from it.
    std::vector<unsigned short> next = ramp(382, 288, 1000);
    deliver(client_, next, 382, 288);
    const auto both = client_.getThmPalImage();
    ASSERT_TRUE(both.first);
    std::unique_ptr<zol::ThermalImage> thermal(both.second.first);
    std::unique_ptr<zol::PaletteImage> palette(both.second.second);
    EXPECT_EQ(thermal->data, next);
    EXPECT_EQ(thermal->width, 382u);
    EXPECT_EQ(palette->width, 384u);
    reference.setData(382, 288, next.data());
    reference.convertTemperatureToPaletteImage(expected.data(), false);
    EXPECT_EQ(palette->rgb, expected);
}

// Frames keep arriving while several threads render and change the palette.
TEST_F(DirectBridgeClientUSBThreaded, ConcurrentGettersAndFrames) {
    Access::pretendConnected(client_, 64, 48);
    std::atomic<bool> stop{false};
    std::thread camera([this, &stop] {
        std::vector<unsigned short> frame = ramp(64, 48, 900);
        while (!stop) {
            deliver(client_, frame, 64, 48);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    std::atomic<int> images{0};
    auto reader = [this, &images](int palette) {
        for (int i = 0; i < 30; ++i) {
            client_.setPalette(palette + i % 3);
            std::unique_ptr<zol::PaletteImage> p(client_.getPaletteImage().second);
            const auto both = client_.getThmPalImage();
            std::unique_ptr<zol::ThermalImage> t(both.second.first);
            std::unique_ptr<zol::PaletteImage> q(both.second.second);
            if (p != nullptr && p->rgb.size() == 64u * 48u * 3u && t != nullptr &&
                t->data.size() == 64u * 48u) {
                ++images;
            }
        }
    };
    std::thread a(reader, 1), b(reader, 5);
    a.join();
    b.join();
    stop = true;
    camera.join();
    EXPECT_EQ(images.load(), 60);
}

}  // namespace
