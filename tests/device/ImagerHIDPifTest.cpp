// The HID control device's process interface: detection, scaling, flag signalling, deferred jobs,
// and queueing while the frame thread sends.
#include <atomic>
#include <thread>

#include "ImagerHIDFixture.h"

namespace kelvix_test {
namespace {

std::uint16_t ten(const std::vector<std::uint8_t>& r, int at) {
    return static_cast<std::uint16_t>((r[at] & 0x0F) << 6 | r[at + 1] >> 2);
}

// A standard interface described by its EEPROM: two analog inputs, three analog outputs.
class ImagerHIDPif : public ImagerHIDTest {
  protected:
    void SetUp() override {
        ImagerHIDTest::SetUp();
        cam = addCamera(40, 250, 2250);
        cam->hid.setPifEeprom22(2, 0x12345678, {{20, 5, 1}, {10, -3, 0}},
                                {{40, 2, 2}, {10, 0, 0}, {10, 0, 0}});
        cam->hid.pifAI[0] = 400;
        cam->hid.pifAI[1] = 2000;
        dev = connect(*cam);
    }
    void TearDown() override {
        dev.reset();
        ImagerHIDTest::TearDown();
    }
    std::shared_ptr<sim::SimCamera> cam;
    std::unique_ptr<ImagerHID> dev;
};

TEST_F(ImagerHIDPif, ChannelsOutsideTheListsDoNothing) {
    // Before detection every list is empty; flag-state levels on channel 0 still go out,
    // with neutral scaling, and no other channel is taken.
    dev->SetPIFOutFlagOpen(500, 0);
    dev->SetPIFOutFrameSync(600, 1);
    std::uint16_t v = 77;
    dev->GetPIFOutFlagOpen(&v, 0);
    EXPECT_EQ(v, 500);
    v = 77;
    dev->GetPIFOutFrameSync(&v, 1);
    EXPECT_EQ(v, 77);
    ASSERT_EQ(reportCount(*cam), 1u);
    const auto level = sent(*cam, {0x34, 0x6A, 0x07, 0xD0});  // TEN(500)
    EXPECT_EQ(level.size(), 1u);
    clearReports(*cam);
    std::int32_t points[] = {5 | 1250 << 16};
    dev->SetPIFOutSamplePointTable(points, 1, 1.0, 0.0, false, 0);
    dev->SetPifOut(100, 0);
    dev->SetPIFInMode(1, 0);
    EXPECT_EQ(dev->GetPIFInMode(0), 0);
    dev->setPifOutGain(0, 5.0f);
    EXPECT_EQ(dev->getPifOutGain(0), 1.0f);
    EXPECT_EQ(dev->getPifInOffset(200), 0.0f);
    EXPECT_EQ(reportCount(*cam), 0u);
}

TEST_F(ImagerHIDPif, DetectsAndScalesTheInterface) {
    EXPECT_EQ(dev->InitPif(), 0x12345678);
    std::uint16_t ai = 0, di = 0, ao = 0, dout = 9, extra = 0;
    dev->GetPifAICount(&ai);
    dev->GetPifDICount(&di);
    dev->GetPifAOCount(&ao);
    dev->GetPifDOCount(&dout);
    dev->GetPifExtraCount(&extra);
    EXPECT_EQ(ai, 2);
    EXPECT_EQ(di, 1);
    EXPECT_EQ(ao, 3);
    EXPECT_EQ(dout, 0);
    EXPECT_EQ(extra, 1);
    EXPECT_EQ(dev->GetPifType(), 2);
    EXPECT_EQ(dev->GetPifInfoFlag(), 1);
    EXPECT_TRUE(dev->GetChecksumValid());
    EXPECT_FLOAT_EQ(dev->getPifInGain(0), 1.0f);  // 20 x 0.1 / 2
    EXPECT_FLOAT_EQ(dev->getPifInOffset(0), 0.5f);
    EXPECT_FLOAT_EQ(dev->getPifInOffset(1), -0.3f);
    EXPECT_FLOAT_EQ(dev->getPifOutGain(0), 100.0f);  // 40 x 10 / 4
    EXPECT_FLOAT_EQ(dev->getPifOutOffset(0), 0.2f);

    std::uint16_t v = 0;
    dev->GetPifIn(&v, 0);
    EXPECT_EQ(v, 400);
    dev->GetPifIn(&v, 1);
    EXPECT_EQ(v, 1100);  // limited

    // A checksum that stays wrong leaves the interface without channels.
    cam->hid.breakPifEepromChecksum();
    const std::uint32_t start = nowMs();
    dev->InitPif();
    EXPECT_EQ(nowMs() - start, 1000u);  // three tries, 500 ms apart
    EXPECT_FALSE(dev->GetChecksumValid());
    dev->GetPifAOCount(&ao);
    EXPECT_EQ(ao, 0);
}

TEST_F(ImagerHIDPif, FlagStateLevelsAreScaledBothWays) {
    dev->InitPif();
    dev->setPifOutGain(0, 2.0f);
    dev->setPifOutOffset(0, 10.0f);
    dev->SetPIFOutFlagOpen(500, 0);
    auto r = sent(*cam, {0x34, 0x6A});
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(ten(r[0], 3), 1010);
    std::uint16_t v = 0;
    dev->GetPIFOutFlagOpen(&v, 0);
    EXPECT_EQ(v, 500);

    // Further outputs take levels on this interface type; channels beyond the list do not.
    dev->setPifOutGain(1, 1.0f);
    dev->setPifOutOffset(1, 0.0f);
    dev->SetPIFOutFlagClosed(700, 1);
    dev->SetPIFOutFlagClosed(800, 3);
    r = sent(*cam, {0x34, 0x6B});
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(ten(r[0], 3), 700);
    v = 1;
    dev->GetPIFOutFlagClosed(&v, 3);
    EXPECT_EQ(v, 1);

    // A gain of 0 reports 0 instead of dividing by it.
    dev->setPifOutGain(0, 0.0f);
    dev->GetPIFOutFlagOpen(&v, 0);
    EXPECT_EQ(v, 0);
}

TEST_F(ImagerHIDPif, SamplePointTableIsSentOnlyWhenChanged) {
    dev->InitPif();
    dev->setPifOutGain(1, 1.0f);
    dev->setPifOutOffset(1, 0.0f);
    std::int32_t points[] = {5 | 1250 << 16, 6 | 1500 << 16};
    dev->SetPIFOutSamplePointTable(points, 2, 2.0, 1.0, false, 1);
    auto r = sent(*cam, {0x34, 0x7C});
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0][4], 2);
    EXPECT_EQ(r[0][7], 5);
    EXPECT_EQ(ten(r[0], 8), 51);  // (1250 - 1000) x 0.1 x 2 + 1
    EXPECT_EQ(r[0][11], 6);
    EXPECT_EQ(ten(r[0], 12), 101);

    dev->SetPIFOutSamplePointTable(points, 2, 2.0, 1.0, false, 1);
    EXPECT_EQ(sent(*cam, {0x34, 0x7C}).size(), 1u);
    dev->SetPIFOutSamplePointTable(points, 2, 1.0, 0.0, true, 1);  // 12.5 and 15 percent
    r = sent(*cam, {0x34, 0x7C});
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(ten(r[1], 8), 12);
    EXPECT_EQ(ten(r[1], 12), 15);
    dev->SetPIFOutSamplePointTable(points, 2, 1.0, 0.0, true, 3);  // no such output
    EXPECT_EQ(sent(*cam, {0x34, 0x7C}).size(), 2u);
}

TEST_F(ImagerHIDPif, ThresholdsAreLimited) {
    EXPECT_EQ(dev->SetPIFInThreshold(2000), 1010);
    EXPECT_EQ(dev->GetPIFInThreshold(), 1010);
    EXPECT_EQ(reportCount(*cam), 0u);
    EXPECT_EQ(dev->SetPIFInFlagThreshold(2000), 0);
    EXPECT_EQ(dev->GetPIFInFlagThreshold(), 1010);
    auto r = sent(*cam, {0x34, 0x6F});
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(ten(r[0], 3), 1010);
    EXPECT_TRUE(dev->GetPIFInDigitalLowActive());
}

// The extended interface, addressed per device: three analog and two digital inputs.
TEST_F(ImagerHIDTest, ExtendedInterfaceAddressesChannelsAndFindsTheFlagSource) {
    auto cam = addCamera(41, 3300, 3100);
    cam->hid.pifType = 4;
    cam->hid.pifDevices = {{2, 1, 1, 1, 0}, {1, 1, 0, 0, 1}};
    auto dev = connect(*cam);
    const std::uint32_t start = nowMs();
    EXPECT_EQ(dev->InitPif(), -1);
    EXPECT_EQ(nowMs() - start, 500u);
    std::uint8_t device = 9, channel = 9;
    EXPECT_TRUE(dev->GetPifChannelAddress(0, 2, &device, &channel));
    EXPECT_EQ(device, 1);
    EXPECT_EQ(channel, 0);
    EXPECT_FALSE(dev->GetPifChannelAddress(0, 3, &device, &channel));

    EXPECT_EQ(dev->CheckFlagSource(), 0);
    dev->SetPIFInMode(1, 2);
    EXPECT_EQ(sent(*cam, {0x34, 0x85, 0x01, 0x01, 0x00}).size(), 1u);
    EXPECT_EQ(dev->getFlagSource(), -3);
    dev->SetPIFInDigitalMode(1, 0);
    EXPECT_EQ(dev->getFlagSource(), 1);  // digital inputs come first
    dev->SetPIFInDigitalMode(0, 0);
    dev->SetPIFInDigitalMode(1, 1);
    EXPECT_EQ(sent(*cam, {0x34, 0x86, 0x01, 0x01, 0x00}).size(), 1u);
    EXPECT_EQ(dev->CheckFlagSource(), 2);
    dev->SetPIFInDigitalMode(3, 1);  // other modes do not drive the flag
    dev->SetPIFInMode(0, 2);
    EXPECT_EQ(dev->CheckFlagSource(), 0);
    dev->SetPIFInMode(1, 9);  // no such input
    EXPECT_EQ(dev->GetPIFInMode(9), 0);

    // Held outputs go out when released, digital ones too on this interface.
    clearReports(*cam);
    dev->HoldPifOutputs(true);
    dev->SetPifOut(500, 0);
    dev->SetPifDigitalOut(1, 0);
    EXPECT_EQ(reportCount(*cam), 0u);
    dev->HoldPifOutputs(false);
    auto ao = sent(*cam, {0x34, 0x7F, 0x00});
    ASSERT_EQ(ao.size(), 1u);
    EXPECT_EQ((ao[0][4] << 6) | (ao[0][5] >> 2), 500);
    EXPECT_EQ(sent(*cam, {0x34, 0x89, 0x00, 0x01, 0x00, 0x00}).size(), 1u);
}

tagAutonomousAreaConfig measureArea(std::uint8_t index, std::vector<std::uint8_t>& mask) {
    tagAutonomousAreaConfig a;
    a.areaIndex = index;
    a.pixelCount = static_cast<std::uint32_t>(mask.size());
    a.pixelMask = mask.data();
    return a;
}

// Repeated changes to one area reach the camera once, 2000 ms after the last of them.
TEST_F(ImagerHIDTest, DeferredJobsCollapseAndWaitForTheLastChange) {
    auto cam = addCamera(42, 250, 2250);
    auto dev = connect(*cam);
    std::vector<std::uint8_t> none(10, 0), all(10, 1);

    const std::uint32_t start = nowMs();
    auto a = measureArea(2, none);
    EXPECT_EQ(dev->ConfigAutonomousMeasureArea(&a), 0);
    clock_.advanceMs(300);
    auto b = measureArea(3, none);
    dev->ConfigAutonomousMeasureArea(&b);
    clock_.advanceMs(300);
    dev->ConfigAutonomousMeasureArea(&a);
    clock_.advanceMs(300);
    a = measureArea(2, all);
    dev->ConfigAutonomousMeasureArea(&a);
    all.assign(10, 0);  // the queued job holds its own copy

    std::vector<std::pair<std::uint8_t, std::uint32_t>> sends;  // (area, ms after start)
    for (int step = 0; step < 40; ++step) {
        const std::size_t before = sent(*cam, {0x34, 0x80}).size();
        dev->ProcessDeferredCommands();
        auto headers = sent(*cam, {0x34, 0x80});
        for (std::size_t i = before; i < headers.size(); ++i) {
            sends.emplace_back(headers[i][3], nowMs() - start);
        }
        clock_.advanceMs(100);
    }
    ASSERT_EQ(sends.size(), 2u);
    EXPECT_EQ(sends[0].first, 3);
    EXPECT_EQ(sends[0].second, 2400u);  // due after 2300
    EXPECT_EQ(sends[1].first, 2);
    EXPECT_EQ(sends[1].second, 3000u);  // due after 2900
    auto masks = sent(*cam, {0x34, 0x81, 0x02});
    ASSERT_EQ(masks.size(), 1u);
    EXPECT_EQ(masks[0][6], 2);  // two mask bytes
    EXPECT_EQ(masks[0][7], 0xFF);
    EXPECT_EQ(masks[0][8], 0x03);
    EXPECT_EQ(dev->ProcessDeferredCommands(), 0);
}

TEST_F(ImagerHIDTest, DeferredCalculatedAreaSettingsAndFocus) {
    auto cam = addCamera(43, 250, 2250);
    auto dev = connect(*cam);
    std::uint16_t entries[] = {0x101, 0x102, 0x103};
    float values[] = {300.7f, 12.0f};
    std::uint8_t flags[] = {1, 0, 1};
    tagAutonomousAreaConfig area;
    area.areaIndex = 4;
    area.entryCount = 3;
    area.valueCount = 2;
    area.flagCount = 3;
    area.entries = entries;
    area.values = values;
    area.flags = flags;
    EXPECT_EQ(dev->ConfigAutonomousCalculatedArea(&area), 0);
    values[0] = 0.0f;
    tagAutonomousSettings settings;
    settings.group[0].selector = 7;
    EXPECT_EQ(dev->ConfigAutonomousSettings(&settings), 0);
    dev->SetFocusmotorPos(1234);
    EXPECT_EQ(dev->ProcessDeferredCommands(), 0);  // not earlier than now yet

    clock_.advanceMs(1);
    EXPECT_EQ(dev->ProcessDeferredCommands(), 1);
    EXPECT_EQ(sent(*cam, {0x35, 0x11, 0xD2, 0x04}).size(), 1u);
    clock_.advanceMs(2000);
    EXPECT_EQ(dev->ProcessDeferredCommands(), 2);
    auto calc = sent(*cam, {0x34, 0x87, 0x04});
    ASSERT_EQ(calc.size(), 1u);
    EXPECT_EQ(calc[0][17], 0x01);
    EXPECT_EQ(calc[0][19], 0x03);
    EXPECT_EQ(calc[0][20] << 8 | calc[0][21], 300);
    EXPECT_EQ(calc[0][22] << 8 | calc[0][23], 12);
    EXPECT_EQ(calc[0][24], 0x05);
    auto first = sent(*cam, {0x34, 0x8E, 0x00});
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0][4], 7);
}

class ImagerHIDThreaded : public ImagerHIDTest {};

// The frame thread drains the queue while the application thread keeps queuing: every job
// sent carries a whole record of its own area, and the last change of each area arrives.
TEST_F(ImagerHIDThreaded, QueueingWhileTheFrameThreadSends) {
    auto cam = addCamera(44, 250, 2250);
    auto dev = connect(*cam);
    std::atomic<bool> stop{false};
    std::thread frames([&] {
        while (!stop.load()) {
            dev->ProcessDeferredCommands();
        }
    });
    const int kJobs = 400;
    for (int i = 0; i < kJobs; ++i) {
        std::vector<std::uint8_t> mask(16);
        for (int k = 0; k < 16; ++k) {
            mask[k] = (i >> k) & 1;
        }
        auto area = measureArea(static_cast<std::uint8_t>(i % 4), mask);
        dev->ConfigAutonomousMeasureArea(&area);
        clock_.advanceMs(i % 2 ? 2100 : 10);  // most jobs fall due while others are queued
        std::this_thread::yield();
    }
    stop = true;
    frames.join();
    clock_.advanceMs(2001);
    dev->ProcessDeferredCommands();

    int last[4] = {-1, -1, -1, -1};
    for (const auto& r : sent(*cam, {0x34, 0x81})) {
        const int area = r[3];
        const int i = r[7] | r[8] << 8;
        ASSERT_LT(area, 4);
        EXPECT_EQ(i % 4, area);
        last[area] = i;
    }
    for (int area = 0; area < 4; ++area) {
        EXPECT_EQ(last[area], kJobs - 4 + area);
    }
}

}  // namespace
}  // namespace kelvix_test
