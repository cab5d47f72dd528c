// The HID command set's single-report commands and queries against the simulated camera: report
// bytes, revision limits, temperature formulas and sentinels.
#include <cstring>

#include "SimHidFixture.h"

using namespace kelvix_test;

class HIDDeviceCommands : public SimHidTest {};

TEST_F(HIDDeviceCommands, RegisterEncodings) {
    connect(3100);
    EXPECT_EQ(dev_.SetTec_A(0x123), 0);
    EXPECT_EQ(dev_.SetFidFlex(0x1234, false), 0);
    EXPECT_EQ(dev_.SetSkimFlex(0x1234, false), 0);
    EXPECT_EQ(dev_.SetTec(0xABCD), 0);
    std::uint16_t level = 0x3FF;
    EXPECT_EQ(dev_.SetPifAOFlagOpen(&level), 0);
    std::uint16_t dac = 0x3FF;
    EXPECT_EQ(dev_.SetPif(&dac, 2), 0);
    EXPECT_EQ(dev_.SetFocusmotorPos(0x1234), 0);
    EXPECT_EQ(dev_.QueryFlashMemory(0x01020304), 0);
    EXPECT_EQ(dev_.SetAntiFlicker(true), 0);
    EXPECT_EQ(dev_.SetTCPIPConfig(0xC0A80102, 0xFFFF0000, 0x0A000001), 0);
    ASSERT_EQ(reports().size(), 10u);
    expectPayload(0, {0x34, 0x5D, 0x10, 0x12, 0x30});
    expectPayload(1, {0x34, 0x58, 0x12, 0x23, 0x41});
    expectPayload(2, {0x34, 0x58, 0x10, 0x23, 0x40});
    expectPayload(3, {0x34, 0x58, 0x10, 0xAB, 0xCD});
    expectPayload(4, {0x34, 0x6A, 0x0F, 0xFC});
    expectPayload(5, {0x34, 0x7A, 0x00, 0x0F, 0xFC});
    expectPayload(6, {0x35, 0x11, 0x34, 0x12});
    expectPayload(7, {0x35, 0x57, 0x04, 0x03, 0x02, 0x01});
    expectPayload(8, {0x34, 0x73, 0x00});
    expectPayload(9, {0x34, 0x90, 0x01, 0xC0, 0xA8, 0x01, 0x02, 0xFF, 0xFF, 0x00, 0x00, 0x0A, 0x00,
                      0x00, 0x01});
    EXPECT_EQ(cam_->hid.tcpAddress, 0xC0A80102u);
}

TEST_F(HIDDeviceCommands, ExtendedRegistersFromRevision20) {
    connect(19);
    dev_.SetSkimFlex(0x100, true);
    dev_.SetFidFlex(0x100, true);
    expectPayload(0, {0x34, 0x58, 0x10, 0x10, 0x00});
    expectPayload(1, {0x34, 0x58, 0x12, 0x10, 0x00});
    HIDDevice newer;
    auto cam = addCamera(20);
    ASSERT_TRUE(open(newer, 20));
    newer.SetSkimFlex(0x100, true);
    newer.SetFidFlex(0x100, true);
    newer.SetSkimFlex(0x100, false);
    ASSERT_EQ(cam->hid.reports.size(), 3u);
    EXPECT_EQ(cam->hid.reports[0][3], 0x90);
    EXPECT_EQ(cam->hid.reports[1][3], 0x92);
    EXPECT_EQ(cam->hid.reports[2][3], 0x10);
}

TEST_F(HIDDeviceCommands, ChannelAndRevisionLimitsSendNothing) {
    connect(999);
    std::uint16_t v = 1;
    EXPECT_EQ(dev_.SetLaserCtl(true), -1);
    EXPECT_EQ(dev_.SetPif(&v, 3), -1);
    EXPECT_EQ(dev_.SetPifAIMode(1, 2), -1);
    EXPECT_EQ(dev_.SetPifAOMode(1, 3), -1);
    EXPECT_TRUE(reports().empty());
    EXPECT_EQ(dev_.SetPifAIMode(1, 1), 0);
    EXPECT_EQ(dev_.SetPifAOMode(7, 2), 0);
    expectPayload(0, {0x34, 0x74, 0x01});
    expectPayload(1, {0x34, 0x76, 0x07});

    for (std::uint16_t rev : {2000, 1000, 1999}) {
        auto cam = addCamera(rev);
        HIDDevice laser;
        ASSERT_TRUE(open(laser, rev));
        EXPECT_EQ(laser.SetLaserCtl(true), rev == 2000 ? -1 : 0) << rev;
        EXPECT_EQ(cam->hid.reports.size(), rev == 2000 ? 0u : 1u) << rev;
    }
}

TEST_F(HIDDeviceCommands, ClippedPositionStopsAfterMissingAnswer) {
    connect();
    dev_.SetAllCommandsWithAnswer(true);
    cam_->hid.silentReads = 1;
    EXPECT_EQ(dev_.SetClippedFormatPosition(0x0102, 0x0304), -1);
    ASSERT_EQ(reports().size(), 1u);
    expectPayload(0, {0x34, 0x7D, 0x01, 0x02});
    EXPECT_EQ(dev_.SetClippedFormatPosition(0x0102, 0x0304), 0);
    expectPayload(2, {0x34, 0x7E, 0x03, 0x04});
}

TEST_F(HIDDeviceCommands, BiasOffClearsTrimsFirst) {
    connect();
    const std::uint32_t before = clock_.tickMs();
    EXPECT_EQ(dev_.EnableBias(false), 0);
    EXPECT_EQ(clock_.tickMs() - before, 20u);
    ASSERT_EQ(reports().size(), 3u);
    expectPayload(0, {0x34, 0x58, 0x10, 0x00, 0x00});
    expectPayload(1, {0x34, 0x58, 0x12, 0x00, 0x00});
    expectPayload(2, {0x4D, 0x13, 0x05});
    EXPECT_EQ(dev_.EnableBias(true), 0);
    expectPayload(3, {0x4D, 0x13, 0x04});
}

TEST_F(HIDDeviceCommands, ClosedTransportSendsNothingAndWritesSentinels) {
    connect();
    dev_.CloseHIDDevice();
    std::uint8_t flag = 0;
    float t = 1.0f;
    std::uint16_t a = 1, b = 1;
    EXPECT_EQ(dev_.GetFlag(&flag), -1);
    EXPECT_EQ(flag, 2);
    EXPECT_EQ(dev_.GetTBox(&t), -1);
    EXPECT_EQ(t, -100.0f);
    EXPECT_EQ(dev_.GetFocusmotorRange(&a, &b), -1);
    EXPECT_EQ(a + b, 0);
    EXPECT_FALSE(dev_.GetVxHZVersion());
    EXPECT_EQ(dev_.EnableBias(false), -1);
    EXPECT_EQ(dev_.SetTec(1), -1);
    EXPECT_TRUE(reports().empty());
    EXPECT_EQ(dev_.GetTproc(&t), -1);
    EXPECT_EQ(t, 0.0f);
}

class HIDDeviceQueries : public SimHidTest {};

TEST_F(HIDDeviceQueries, FlagTemperatureByRevision) {
    connect(30);
    float t = 0;
    patch({{4, 0xFF}, {5, 0x80}});
    EXPECT_EQ(dev_.GetTFlag(&t), 0);
    EXPECT_FLOAT_EQ(t, -1.0f);
    expectPayload(0, {0x34, 0x61});

    HIDDevice old;
    auto cam = addCamera(10);
    ASSERT_TRUE(open(old, 10));
    const std::pair<std::uint8_t, std::uint8_t> bytes[] = {
        {0xFF, 0xF0}, {0x19, 0x00}, {0x01, 0x90}};
    const float expected[] = {-0.1f, 25.0f, 1.5f};
    for (int i = 0; i < 3; ++i) {
        auto [b0, b1] = bytes[i];
        cam->hid.patchAnswer = [b0 = b0, b1 = b1](const std::uint8_t*, std::uint8_t* a) {
            a[4] = b0;
            a[5] = b1;
        };
        EXPECT_EQ(old.GetTFlag(&t), 0);
        EXPECT_NEAR(t, expected[i], 1e-5) << i;
    }
}

TEST_F(HIDDeviceQueries, ChipTemperatureFormulas) {
    const struct {
        std::uint16_t revision;
        std::uint8_t b2, b3;
        float expected;
    } cases[] = {
        {10, 0xE8, 0x03, 281.8769f},  // LE16 1000: m = 732
        {20, 0x03, 0xE8, 59.2361f},   // BE16 1000, 3.3 V reference
        {21, 0x03, 0xE8, 63.5380f},  {99, 0x03, 0xE8, 63.5380f}, {100, 0x03, 0xE8, 59.2361f},
    };
    for (const auto& c : cases) {
        auto cam = addCamera(c.revision);
        cam->hid.patchAnswer = [c](const std::uint8_t*, std::uint8_t* a) {
            a[2] = c.b2;
            a[3] = c.b3;
        };
        HIDDevice dev;
        ASSERT_TRUE(open(dev, c.revision));
        float t = 0;
        EXPECT_EQ(dev.GetTchip(&t), 0);
        EXPECT_NEAR(t, c.expected, 2e-3) << c.revision;
        EXPECT_EQ(cam->hid.reports.at(0)[1], 0x4D);
        EXPECT_EQ(cam->hid.reports.at(0)[2], 0x14);
    }
}

TEST_F(HIDDeviceQueries, SimulatedSensorsRoundTrip) {
    connect(3100);
    cam_->tempBox = -12.25f;
    cam_->tempOptics = 33.5f;
    cam_->flagState = 1;
    cam_->hid.focusPosition = 0x1234;
    cam_->hid.pifAI[1] = 0x2AB;
    cam_->hid.highFrequencyCapable = true;
    float box = 0, optics = 0;
    std::uint8_t flag = 0;
    std::uint16_t pos = 0, first = 0, second = 0, ai = 0, fw = 0;
    EXPECT_EQ(dev_.GetTBox(&box), 0);
    EXPECT_FLOAT_EQ(box, -12.25f);
    EXPECT_EQ(dev_.GetTOptics(&optics), 0);
    EXPECT_FLOAT_EQ(optics, 33.5f);
    EXPECT_EQ(dev_.GetFlag(&flag), 0);
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(dev_.GetFocusmotorPos(&pos), 0);
    EXPECT_EQ(pos, 0x1234);
    EXPECT_EQ(dev_.GetFocusmotorRange(&first, &second), 0);
    EXPECT_EQ(first, 100);
    EXPECT_EQ(second, 3900);
    EXPECT_EQ(dev_.GetPifAI(&ai, 1), 0);
    EXPECT_EQ(ai, 0x2AB);
    EXPECT_EQ(dev_.GetFwCypVers(&fw), 0);
    EXPECT_EQ(fw, 2250);
    EXPECT_TRUE(dev_.GetVxHZVersion());
    std::uint32_t addr = 0, mask = 0, gw = 0;
    EXPECT_EQ(dev_.GetTCPIPConfig(&addr, &mask, &gw), 0);
    EXPECT_EQ(addr, 0xC0A80064u);
    EXPECT_EQ(gw, 0xC0A80001u);
    EXPECT_TRUE(dev_.GetTempSensorsHighResolution());
}

TEST_F(HIDDeviceQueries, OldSensorsAndNoOptics) {
    connect(15);
    cam_->tempBox = -20.0f;
    cam_->tempOptics = 33.5f;
    float box = 0, optics = 1;
    EXPECT_EQ(dev_.GetTBox(&box), 0);
    EXPECT_NEAR(box, -20.0f, 1e-5);  // 12-bit two's complement
    EXPECT_EQ(dev_.GetTOptics(&optics), 0);
    EXPECT_EQ(optics, 0.0f);
    EXPECT_FALSE(dev_.GetTempSensorsHighResolution());
}

TEST_F(HIDDeviceQueries, HidBufferCopiesAtMostCapacity) {
    connect();
    cam_->hid.status[3] = 0xA5;
    std::uint8_t dst[16];
    std::memset(dst, 0xEE, sizeof dst);
    std::uint32_t count = 99;
    EXPECT_EQ(dev_.GetHIDBuf(dst, 10, &count), 0);
    EXPECT_EQ(count, 10u);
    EXPECT_EQ(dst[3], 0xA5);
    EXPECT_EQ(dst[10], 0xEE);
    std::uint8_t full[80];
    EXPECT_EQ(dev_.GetHIDBuf(full, 80, &count), 0);
    EXPECT_EQ(count, 65u);
    cam_->hid.silentReads = 1;
    EXPECT_EQ(dev_.GetHIDBuf(dst, 10, &count), -1);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(dst[9], 0);
    EXPECT_EQ(dst[10], 0xEE);
}
