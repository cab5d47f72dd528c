// The HID control device: connecting and reconnecting, absent and unopened cameras, device classes,
// chip heating and cached settings.
#include <chrono>
#include <string>

#include "ImagerHIDFixture.h"
#include "platform/HResult.h"

namespace kelvix_test {
namespace {

TEST_F(ImagerHIDTest, ConnectsReconnectsOnlyWhenAskedAndResets) {
    auto cam = addCamera(12345, 250, 2250);
    {
        // Names longer than the record's fields are cut, also when copied back in.
        std::lock_guard<std::mutex> lock(cam->mutex());
        cam->hid.manufacturer = std::wstring(300, L'm');
    }
    ImagerHID dev;
    bool same = true;
    EXPECT_EQ(dev.Init(kVendor, kProduct, 12345, false, &same), 0);
    EXPECT_FALSE(same);
    EXPECT_EQ(dev.GetSerialNumber(), 12345u);
    EXPECT_EQ(dev.GetHWRevision(), 250);
    EXPECT_EQ(dev.GetFWRevision(), 2250);
    bool power = false;
    dev.GetPowerEnable(&power);
    EXPECT_TRUE(power);
    EXPECT_EQ(sent(*cam, {0x34, 0x40, 0x01}).size(), 1u);

    dev.setChipGain(3.0f);
    EXPECT_EQ(dev.Init(kVendor, kProduct, 12345, false, &same), 1);
    EXPECT_TRUE(same);
    EXPECT_EQ(dev.getChipGain(), 3.0f);

    clearReports(*cam);
    EXPECT_EQ(dev.Init(kVendor, kProduct, 12345, true, &same), 0);
    EXPECT_TRUE(same);
    EXPECT_EQ(dev.getChipGain(), 1.0f);
    EXPECT_EQ(sent(*cam, {0x34, 0x40, 0x00}).size(), 1u);  // powered down first
    EXPECT_EQ(sent(*cam, {0x34, 0x40, 0x01}).size(), 1u);
}

TEST_F(ImagerHIDTest, AbsentCameraFailsAfterFourLookups) {
    ImagerHID dev;
    const std::uint32_t start = nowMs();
    EXPECT_EQ(dev.Init(kVendor, kProduct, 777, false, nullptr), E_FAIL);
    EXPECT_EQ(nowMs() - start, 1500u);  // 500 ms before the third, 1000 ms before the fourth
    EXPECT_EQ(backend_.openCount(), 0);
}

// A camera that is found but never answers as opened leaves a closed device: every command
// fails at once with its sentinel and nothing reaches the camera.
TEST_F(ImagerHIDTest, FoundButNotOpenedFailsEveryCommandAtOnce) {
    auto failing = addCamera(1, 250, 2250);
    auto mute = addCamera(2, 250, 2250);
    failing->hid.failOpen = true;
    mute->hid.muteWhen = [](const std::uint8_t* r) { return r[1] == 0x34 && r[2] == 0x67; };

    for (auto* cam : {failing.get(), mute.get()}) {
        ImagerHID dev;
        const std::uint32_t start = nowMs();
        EXPECT_EQ(dev.Init(kVendor, kProduct, cam->serial(), false, nullptr), 0);
        EXPECT_EQ(nowMs() - start, 30u * 250u);
        clearReports(*cam);

        const auto realStart = std::chrono::steady_clock::now();
        const std::uint32_t virtualStart = nowMs();
        EXPECT_EQ(dev.GetFWRevision(), 0);
        float t = 0.0f;
        EXPECT_EQ(dev.GetTempChip(&t), -1);
        EXPECT_EQ(t, -100.0f);
        EXPECT_EQ(dev.GetTempFlag(&t), -1);
        EXPECT_EQ(t, -100.0f);
        std::uint16_t pos = 7;
        EXPECT_EQ(dev.GetFocusmotorPos(&pos), -1);
        EXPECT_EQ(pos, 0);
        EXPECT_EQ(dev.SetFlag(true), -1);
        std::uint8_t buf[65];
        EXPECT_EQ(dev.GetBuffer(buf, sizeof(buf)), 0);
        EXPECT_FALSE(dev.GetShortImagerCaps());
        EXPECT_EQ(nowMs(), virtualStart);
        EXPECT_LT(std::chrono::steady_clock::now() - realStart, std::chrono::milliseconds(1000));
        EXPECT_EQ(reportCount(*cam), 0u);
    }
    EXPECT_EQ(backend_.openCount(), 30);  // the mute camera opened each time, then closed
}

TEST_F(ImagerHIDTest, DeviceClassBounds) {
    struct Case {
        std::uint16_t hw, fw;
        int cls;
    };
    const Case cases[] = {{18, 2250, 1},    {19, 2250, 0},   {20, 2100, 2},    {250, 2250, 3},
                          {399, 2400, 4},   {498, 2250, 5},  {499, 2250, 0},   {698, 2250, 6},
                          {699, 2250, 0},   {2198, 2250, 7}, {3000, 2250, 8},  {3198, 2250, 8},
                          {3199, 2250, 0},  {3398, 2250, 9}, {3598, 2250, 10}, {3798, 2250, 11},
                          {3998, 2250, 12}, {3999, 2250, 0}};
    std::uint32_t serial = 100;
    for (const Case& c : cases) {
        auto cam = addCamera(++serial, c.hw, c.fw);
        auto dev = connect(*cam);
        EXPECT_EQ(dev->GetDeviceClass(), c.cls) << "hardware " << c.hw << " firmware " << c.fw;
    }
}

TEST_F(ImagerHIDTest, ClassEightHasNoBiasOrLaser) {
    auto cam = addCamera(3100, 3100, 2250);
    auto dev = connect(*cam);
    EXPECT_EQ(dev->GetDeviceClass(), 8);
    EXPECT_EQ(dev->SetBiasEnable(true), 8);
    EXPECT_EQ(dev->SetLaserEnable(true), 8);
    EXPECT_EQ(reportCount(*cam), 0u);

    dev.reset();  // powers down
    EXPECT_TRUE(sent(*cam, {0x4D, 0x13}).empty());
    EXPECT_TRUE(sent(*cam, {0x34, 0x7B}).empty());
    EXPECT_EQ(sent(*cam, {0x34, 0x58, 0x12}).size(), 1u);  // FID 0
    EXPECT_EQ(sent(*cam, {0x34, 0x58, 0x10}).size(), 1u);  // skim 0
    EXPECT_EQ(sent(*cam, {0x34, 0x40, 0x00}).size(), 1u);  // power off

    // Other classes switch bias and laser off when powering down.
    auto other = addCamera(1500, 1500, 2250);
    auto dev2 = connect(*other);
    EXPECT_EQ(dev2->SetBiasEnable(true), 0);
    dev2.reset();
    EXPECT_EQ(sent(*other, {0x4D, 0x13, 0x05}).size(), 1u);
    EXPECT_EQ(sent(*other, {0x34, 0x7B, 0x00}).size(), 1u);
}

TEST_F(ImagerHIDTest, ChipHeatingConvertsBothWaysWithinBounds) {
    auto cam = addCamera(5, 250, 2250);
    auto dev = connect(*cam);
    float t = 0.0f;
    dev->GetTempTec(&t);
    EXPECT_EQ(t, 25.0f);

    dev->SetTempTec(30.0f);
    auto tec = sent(*cam, {0x34, 0x5D, 0x10});
    ASSERT_EQ(tec.size(), 1u);
    EXPECT_EQ(tec[0][4], 0xD7);  // 3453 << 4
    EXPECT_EQ(tec[0][5], 0xD0);
    std::uint16_t a = 0;
    dev->GetTec_A(&a);
    EXPECT_EQ(a, 3453);
    dev->GetTempTec(&t);
    EXPECT_NEAR(t, 30.0f, 0.01f);

    clearReports(*cam);
    dev->SetTempTec(80.0f);
    tec = sent(*cam, {0x34, 0x5D, 0x10});
    ASSERT_EQ(tec.size(), 1u);
    EXPECT_EQ((tec[0][4] << 8 | tec[0][5]) >> 4, 3126);  // (294.5 - 55) x 13.055
    dev->GetTempTec(&t);
    EXPECT_EQ(t, 55.0f);

    dev->setTecGain(0.0f);
    dev->SetTec_A(1000);
    dev->GetTempTec(&t);
    EXPECT_EQ(t, 0.0f);
}

TEST_F(ImagerHIDTest, CachedSettersAndCorrectedTemperatures) {
    auto cam = addCamera(6, 250, 2250);
    auto dev = connect(*cam);

    dev->SetSkim(300);
    dev->SetSkim(300);  // unchanged: not sent again
    dev->SetSkim_Ext(301);
    EXPECT_EQ(sent(*cam, {0x34, 0x58, 0x10}).size(), 1u);
    EXPECT_EQ(sent(*cam, {0x34, 0x58, 0x90}).size(), 1u);
    std::uint16_t v = 0;
    dev->GetSkim(&v);
    EXPECT_EQ(v, 301);

    std::int32_t flag = 5;
    EXPECT_EQ(dev->SetFlag(true), 0);
    EXPECT_EQ(dev->GetFlag(&flag), 1);
    EXPECT_EQ(flag, 1);
    std::uint16_t x = 0, y = 0;
    dev->GetClippedFormatPosition(&x, &y);
    EXPECT_EQ(x, 0xFFFF);
    EXPECT_EQ(y, 0xFFFF);

    dev->setChipGain(2.0f);
    dev->setChipOffset(1.0f);
    dev->setBoxOffset(-3.0f);
    float t = 0.0f;
    EXPECT_EQ(dev->GetTempChip(&t), 0);
    EXPECT_NEAR(t, 2.0f * cam->tempChip + 1.0f, 0.2f);
    EXPECT_EQ(dev->GetTempBox(&t), 0);
    EXPECT_NEAR(t, cam->tempBox - 3.0f, 0.01f);

    // The sentinel is corrected as well.
    cam->hid.silentReads = 1;
    EXPECT_EQ(dev->GetTempBox(&t), -1);
    EXPECT_EQ(t, -103.0f);

    // The status answer is cut to the caller's buffer.
    std::uint8_t buf[65] = {};
    EXPECT_EQ(dev->GetBuffer(buf, sizeof(buf)), 65);
    EXPECT_EQ(dev->GetBuffer(buf, 10), 10);

    std::uint16_t first = 0, second = 0;
    dev->GetFocusmotorRange(&first, &second);
    EXPECT_EQ(first, 100);
    EXPECT_EQ(second, 3900);
    EXPECT_EQ(dev->getFocusRangeFirst(), 100);
    clearReports(*cam);
    dev->GetFocusmotorRange(&first, &second);
    EXPECT_EQ(reportCount(*cam), 0u);  // cached
}

}  // namespace
}  // namespace kelvix_test
