// The HID commands of several reports: serial flash and firmware, JTAG, PIF EEPROM and device
// information, sample-point tables and autonomous-mode settings.
#include <cstdio>
#include <string>
#include <vector>

#include "SimHidFixture.h"

using namespace kelvix_test;

namespace {

// Exposes the MCS image preparation.
struct Preparer : HIDDevice {
    static std::int32_t prepare(const std::string& text, std::vector<std::uint8_t>& image) {
        image.assign(kFlashSize, 0);
        return MCSFirmwarePrepare(reinterpret_cast<const std::uint8_t*>(text.data()),
                                  static_cast<std::int32_t>(text.size()), image.data());
    }
};

// An MCS text holding `data` from address 0, 16 bytes per record.
std::string mcsText(const std::vector<std::uint8_t>& data) {
    std::string text;
    char buf[80];
    for (std::size_t at = 0; at < data.size(); at += 16) {
        if (at % 0x10000 == 0) {
            std::snprintf(buf, sizeof buf, ":02000004%04X00\r\n", unsigned(at >> 16));
            text += buf;
        }
        const std::size_t n = std::min<std::size_t>(16, data.size() - at);
        std::snprintf(buf, sizeof buf, ":%02X%04X00", unsigned(n), unsigned(at & 0xFFFF));
        text += buf;
        for (std::size_t k = 0; k < n; ++k) {
            std::snprintf(buf, sizeof buf, "%02X", data[at + k]);
            text += buf;
        }
        text += "00\r\n";  // checksums are not examined
    }
    return text + ":00000001FF\r\n";
}

std::vector<std::uint8_t> pattern(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        v[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    return v;
}

}  // namespace

TEST(MCSImage, RecordsPlaceBytes) {
    std::vector<std::uint8_t> image;
    EXPECT_EQ(Preparer::prepare(":0400000001020304F2", image), 4);
    EXPECT_EQ(image[0], 0x01);
    EXPECT_EQ(image[3], 0x04);
    EXPECT_EQ(image[4], 0xFF);

    EXPECT_EQ(Preparer::prepare(":0400000001020304F2\n:020000040001F9\r\n:02001000AABB00", image),
              0x10000 + 0x10 + 2);
    EXPECT_EQ(image[0x10010], 0xAA);
    EXPECT_EQ(image[0x10011], 0xBB);

    // Beyond the flash: dropped, and the end does not move; also where base plus address
    // passes 2^32, which must not wrap around to the start of the flash.
    EXPECT_EQ(Preparer::prepare(":0400000001020304F2\n:020000040008F2\n:02000000AABB00", image), 4);
    EXPECT_EQ(Preparer::prepare(":02000004FFFFFC\n:02FFFF00AABB00", image), 0);
    EXPECT_EQ(image[0], 0xFF);
    // A line too short for its count is skipped whole; short lines are ignored.
    EXPECT_EQ(Preparer::prepare(":04000000010203\n:0100\n:01000600EE00", image), 7);
    EXPECT_EQ(image[0], 0xFF);
    EXPECT_EQ(image[6], 0xEE);
    EXPECT_EQ(Preparer::prepare("", image), 0);
}

class HIDFlash : public SimHidTest {};

TEST_F(HIDFlash, TwoPagesOneEraseAndVerify) {
    connect();
    std::vector<std::uint8_t> data = pattern(257);
    std::string text = mcsText(data);
    ASSERT_TRUE(dev_.MCSFirmwareWrite(reinterpret_cast<std::uint8_t*>(text.data()),
                                      static_cast<std::int32_t>(text.size())));
    EXPECT_EQ(cam_->hid.sectorErases, 1);
    EXPECT_EQ(cam_->hid.pagePrograms, 2);
    EXPECT_EQ(cam_->hid.protocolErrors, 0);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), cam_->hid.flash.begin()));
    EXPECT_EQ(cam_->hid.flash[257], 0xFF);

    // The exact sequence of the first page.
    std::size_t i = 0;
    expectPayload(i++, {0x50});
    expectPayload(i++, {0x53, 0x01, 0x01, 0x06});
    expectPayload(i++, {0x53, 0x04, 0x01, 0x20, 0x00, 0x00, 0x00});
    while (reports()[i][1] == 0x55) {
        ++i;
    }
    expectPayload(i++, {0x53, 0x01, 0x01, 0x06});
    EXPECT_EQ(payload(i, 8), Bytes({0x53, 0x24, 0x00, 0x02, 0x00, 0x00, 0x00, data[0]}));
    EXPECT_EQ(reports()[i][39], data[31]);
    ++i;
    for (int part = 1; part < 8; ++part, ++i) {
        EXPECT_EQ(payload(i, 4), Bytes({0x53, 0x20, std::uint8_t(part == 7), data[part * 32]}));
    }
    EXPECT_EQ(reports()[i][1], 0x55);
    std::size_t secondEnable = i;
    while (reports()[secondEnable][1] == 0x55) {
        ++secondEnable;
    }
    expectPayload(secondEnable, {0x53, 0x01, 0x01, 0x06});
    EXPECT_EQ(payload(secondEnable + 1, 8),
              Bytes({0x53, 0x24, 0x00, 0x02, 0x00, 0x01, 0x00, data[256]}));

    cam_->hid.reports.clear();
    EXPECT_TRUE(dev_.MCSFirmwareCheck(reinterpret_cast<std::uint8_t*>(text.data()),
                                      static_cast<std::int32_t>(text.size())));
    ASSERT_EQ(reports().size(), 6u);  // 50, then 5 read-backs of 64 bytes
    expectPayload(5, {0x54, 0x40, 0x01, 0x00, 0x01, 0x00});
    cam_->hid.flash[100] ^= 1;
    EXPECT_FALSE(dev_.MCSFirmwareCheck(reinterpret_cast<std::uint8_t*>(text.data()),
                                       static_cast<std::int32_t>(text.size())));
}

TEST_F(HIDFlash, FailuresStopProgramming) {
    connect();
    std::string text = mcsText(pattern(600));
    auto* t = reinterpret_cast<std::uint8_t*>(text.data());
    const auto n = static_cast<std::int32_t>(text.size());

    cam_->hid.stuckBusy = true;  // bounded by the platform clock, not by real time
    const std::uint32_t start = clock_.tickMs();
    EXPECT_FALSE(dev_.MCSFirmwareWrite(t, n));
    EXPECT_GE(clock_.tickMs() - start, HIDDevice::kFlashBusyLimitMs);
    EXPECT_EQ(cam_->hid.pagePrograms, 0);

    cam_->hid.stuckBusy = false;
    cam_->hid.busyPolls = 0;
    cam_->hid.answersBeforeSilence = 20;  // the answer stops midway
    dev_.SetAllCommandsWithAnswer(true);
    EXPECT_FALSE(dev_.MCSFirmwareWrite(t, n));
    cam_->hid.answersBeforeSilence = -1;
    EXPECT_FALSE(dev_.MCSFirmwareCheck(t, n));  // partly programmed
    dev_.CloseHIDDevice();
    EXPECT_FALSE(dev_.MCSFirmwareWrite(t, n));
    EXPECT_FALSE(dev_.WaitForNotBusy());
}

TEST_F(HIDFlash, FirmwareBlocks) {
    connect();
    std::vector<std::uint8_t> data = pattern(100);
    EXPECT_EQ(dev_.FirmwareWrite(data.data(), 100), 0);
    ASSERT_EQ(reports().size(), 4u);  // 32 + 32 + 32 + 4
    EXPECT_EQ(payload(0, 8), Bytes({0x34, 0x51, 0x51, 0x00, 0x20, 0x00, 0x00, data[0]}));
    EXPECT_EQ(payload(3, 8), Bytes({0x34, 0x51, 0x51, 0x00, 0x04, 0x00, 0x60, data[96]}));
    EXPECT_EQ(clock_.tickMs(), 40u);
    std::vector<std::uint8_t> back(100, 0);
    EXPECT_EQ(dev_.FirmwareRead(back.data(), 100), 0);
    EXPECT_EQ(back, data);
    expectPayload(4, {0x34, 0x50, 0x51, 0x00, 0x40, 0x00, 0x00});
    expectPayload(5, {0x34, 0x50, 0x51, 0x00, 0x24, 0x00, 0x40});
    EXPECT_EQ(dev_.FirmwareRead(nullptr, 0), 0);
    cam_->hid.silentReads = 1;
    EXPECT_EQ(dev_.FirmwareRead(back.data(), 100), -1);
}

TEST_F(HIDFlash, JtagCopiesAnswerBack) {
    connect();
    std::uint8_t cmd = 0x01;
    std::uint8_t data[40] = {};
    for (int i = 0; i < 40; ++i) {
        data[i] = static_cast<std::uint8_t>(i);
    }
    EXPECT_EQ(dev_.ControlJTAGPort(&cmd, data, 0, 20, 1), 0);
    expectPayload(0, {0x7E, 0x45, 0x00, 0x14, 0x00, 0x01, 0x02});
    EXPECT_EQ(data[0], 0xFF);  // the simulated port answers the inverted bits
    EXPECT_EQ(data[2], 0xFD);
    EXPECT_EQ(data[3], 3);  // only the three bytes sent

    for (int i = 0; i < 40; ++i) {
        data[i] = static_cast<std::uint8_t>(i);
    }
    EXPECT_EQ(dev_.ControlJTAGPort(&cmd, data, 1, 400, 1), 0);  // at most 36 data bytes
    EXPECT_EQ(reports()[1][2], 0x01);
    EXPECT_EQ(reports()[1][40], 35);
    EXPECT_EQ(data[0], 0);
    EXPECT_EQ(dev_.ControlJTAGPort(&cmd, data, 0, 8, 0), 0);
    expectPayload(2, {0x5A, 0x01, 0x00});
    EXPECT_EQ(data[0], 0xFF);
    patch({{1, 0x45}});  // an answer without the port's mark is another command's
    EXPECT_EQ(dev_.ControlJTAGPort(&cmd, data, 0, 8, 0), -1);
    EXPECT_EQ(data[0], 0xFF);
}

class HIDPif : public SimHidTest {};

TEST_F(HIDPif, EepromFormatsAndChecksums) {
    connect();
    cam_->hid.setPifEeprom11(3, 0x11223344, {1000, -20, 2}, {2000, 30, 1});
    PIF_EEPROM e;
    EXPECT_EQ(dev_.GetPifEEPROM(&e), 0);
    expectPayload(0, {0x34, 0x72});
    EXPECT_EQ(e.format, 0x11);
    EXPECT_EQ(e.version, 3);
    EXPECT_EQ(e.identifier, 0x11223344u);
    EXPECT_EQ(e.aiCount, 1);
    EXPECT_EQ(e.ai[0].gain, 1000);
    EXPECT_EQ(e.ai[0].offset, -20);
    EXPECT_EQ(e.ai[0].shift, 2);
    EXPECT_EQ(e.aoCount, 1);
    EXPECT_EQ(e.ao[0].offset, 30);

    cam_->hid.setPifEeprom22(4, 7, {{1, 2, 3}, {4, -5, 6}},
                             {{7, 8, 9}, {10, 11, 12}, {13, -14, 15}});
    EXPECT_EQ(dev_.GetPifEEPROM(&e), 0);
    EXPECT_EQ(e.aiCount, 2);
    EXPECT_EQ(e.ai[1].offset, -5);
    EXPECT_EQ(e.aoCount, 3);
    EXPECT_EQ(e.ao[2].offset, -14);
    EXPECT_EQ(e.ao[2].shift, 15);

    cam_->hid.breakPifEepromChecksum();
    EXPECT_EQ(dev_.GetPifEEPROM(&e), 1);
    EXPECT_EQ(e.format, 0x22);
    EXPECT_EQ(e.version, 4);
    EXPECT_EQ(e.identifier, 7u);
    EXPECT_EQ(e.aiCount + e.aoCount, 0);

    cam_->hid.reports.clear();
    EXPECT_EQ(dev_.GetPifEEPROM_Ex(&e, 3, 500), 1);
    EXPECT_EQ(reports().size(), 3u);
    EXPECT_EQ(clock_.tickMs(), 1000u);

    cam_->hid.pifEeprom[0] = 0x33;
    EXPECT_EQ(dev_.GetPifEEPROM_Ex(&e, 3, 500), -1);
    cam_->hid.silentReads = 1;
    EXPECT_EQ(dev_.GetPifEEPROM(&e), -1);
}

TEST_F(HIDPif, EepromCountsAreClamped) {
    connect();
    cam_->hid.setPifEeprom22(1, 1, {{1, 1, 1}, {2, 2, 2}}, {{3, 3, 3}});
    cam_->hid.pifEeprom[6] = 9;
    cam_->hid.pifEeprom[17] = 200;
    cam_->hid.pifEeprom[33] ^= 9 ^ 2 ^ 200 ^ 1;  // keep the checksum valid
    PIF_EEPROM e;
    EXPECT_EQ(dev_.GetPifEEPROM(&e), 0);
    EXPECT_EQ(e.aiCount, 2);
    EXPECT_EQ(e.aoCount, 3);
}

TEST_F(HIDPif, DeviceInformationBuildsChannelLists) {
    connect();
    cam_->hid.pifType = 4;
    cam_->hid.pifInfoFlag = 0;
    cam_->hid.pifLastByte = 9;
    cam_->hid.pifDevices = {{2, 1, 1, 0, 0}, {1, 0, 2, 3, 1}, {0, 0, 0, 0, 1}};
    PifDeviceInfo* info = nullptr;
    ASSERT_EQ(dev_.GetPifDeviceInfo(&info), 0);
    ASSERT_NE(info, nullptr);
    expectPayload(0, {0x34, 0x83, 0x00, 0x00});
    expectPayload(2, {0x34, 0x83, 0x01, 0x01});
    EXPECT_EQ(info->type, 4);
    EXPECT_EQ(info->deviceCount, 3);
    EXPECT_EQ(info->lastByte, 9);
    EXPECT_EQ(info->lists[PifDeviceInfo::AnalogIn], (std::vector<std::uint16_t>{0, 1, 256}));
    EXPECT_EQ(info->lists[PifDeviceInfo::AnalogOut], (std::vector<std::uint16_t>{0, 256, 257}));
    EXPECT_EQ(info->lists[PifDeviceInfo::DigitalOut], (std::vector<std::uint16_t>{256, 257, 258}));
    EXPECT_EQ(info->lists[PifDeviceInfo::Extra], (std::vector<std::uint16_t>{256}));
    EXPECT_EQ(info->counts[PifDeviceInfo::AnalogIn], 3);

    // A failure midway keeps the caller's record; nothing leaks.
    PifDeviceInfo* before = info;
    cam_->hid.answersBeforeSilence = 2;
    EXPECT_EQ(dev_.GetPifDeviceInfo(&info), -1);
    EXPECT_EQ(info, before);
    EXPECT_EQ(info->counts[PifDeviceInfo::AnalogIn], 3);

    // Many channels saturate the count instead of wrapping.
    cam_->hid.answersBeforeSilence = -1;
    cam_->hid.pifDevices = {{200, 0, 0, 0, 0}, {200, 0, 0, 0, 0}};
    ASSERT_EQ(dev_.GetPifDeviceInfo(&info), 0);
    EXPECT_EQ(info->counts[PifDeviceInfo::AnalogIn], 255);
    EXPECT_EQ(info->lists[PifDeviceInfo::AnalogIn].size(), 255u);
    delete info;

    PifDeviceInfo eeprom = PifDeviceInfo::describedByEeprom(2, 2, 1);
    EXPECT_EQ(eeprom.deviceCount, 1);
    EXPECT_EQ(eeprom.infoFlag, 1);
    EXPECT_EQ(eeprom.counts[PifDeviceInfo::DigitalIn], 1);
    EXPECT_EQ(eeprom.counts[PifDeviceInfo::DigitalOut], 0);
    EXPECT_EQ(eeprom.lists[PifDeviceInfo::AnalogIn], (std::vector<std::uint16_t>{0, 1}));
}

TEST_F(HIDPif, SamplePointTableInReportsOfEight) {
    connect();
    std::vector<std::int16_t> points;
    for (int i = 0; i < 20; ++i) {
        points.push_back(static_cast<std::int16_t>(0x100 + i));  // key
        points.push_back(static_cast<std::int16_t>(0x3FF - i));  // level
    }
    EXPECT_EQ(dev_.SetPifAOSamplePointTable(points.data(), 20), 0);
    ASSERT_EQ(reports().size(), 3u);
    EXPECT_EQ(payload(0, 9), Bytes({0x34, 0x7C, 0, 8, 20, 0x01, 0x00, 0x0F, 0xFC}));
    EXPECT_EQ(payload(2, 9), Bytes({0x34, 0x7C, 16, 4, 20, 0x01, 0x10, 0x0F, 0xBC}));
    EXPECT_EQ(reports()[2][22], 0);  // four points only

    std::vector<std::int16_t> many(2 * 256, 1);
    EXPECT_EQ(dev_.SetPifAOSamplePointTable(many.data(), 256), -1);
    EXPECT_EQ(dev_.SetPifAOSamplePointTable(many.data(), 0), 0);
    EXPECT_EQ(reports().size(), 3u);
}

class HIDAutonomous : public SimHidTest {};

TEST_F(HIDAutonomous, SettingsInTwoReports) {
    connect();
    tagAutonomousSettings s;
    s.group[0] = {1, 1.5, 70000.0, 300.9};
    s.group[1] = {2, 0.25, 2.0, 7.0};
    s.group[2] = {3, 25.0, 1.0, 2.0};
    s.group[3] = {4, -10.0, 0.5, 65535.0};
    for (int i = 0; i < 4; ++i) {
        s.extra[i] = static_cast<std::uint8_t>(0xE1 + i);
    }
    s.temperature = 36.6;
    for (int i = 0; i < 9; ++i) {
        s.tail[i] = static_cast<std::uint8_t>(0xA1 + i);
    }
    EXPECT_EQ(dev_.ConfigAutonomousSettings(&s), 0);
    ASSERT_EQ(reports().size(), 2u);
    expectPayload(0, {0x34, 0x8E, 0x00, 1,    0x05, 0xDC, 0x04, 0x2C, 0x1D, 0x80, 0x01, 0x2C,
                      2,    0x00, 0xFA, 0x00, 0x00, 0x07, 0xD0, 0x00, 0x07, 3,    0x04, 0xE2,
                      0x00, 0x00, 0x03, 0xE8, 0x00, 0x02, 0xA1, 0xA4, 0xA3, 0xA6, 0xA5});
    expectPayload(1, {0x34, 0x8E, 0x01, 4,    0x03, 0x84, 0x00, 0x00, 0x01, 0xF4, 0xFF,
                      0xFF, 0xE1, 0xE2, 0xE3, 0xE4, 0x05, 0x56, 0xA7, 0xA8, 0xA9});

    cam_->hid.reports.clear();
    dev_.SetAllCommandsWithAnswer(true);
    cam_->hid.silentReads = 1;
    EXPECT_EQ(dev_.ConfigAutonomousSettings(&s), -1);
    EXPECT_EQ(reports().size(), 1u);
}

TEST_F(HIDAutonomous, AnalogOutputFunctions) {
    connect();
    tagAutonomousPifAOConfig c;
    c.device = 1;
    c.channel = 2;
    c.selector = 3;
    c.value = 0x0405;
    c.first = 2.5;
    c.second = 9.9;
    c.lowerLevel = 0x100;
    c.upperLevel = 0x3FF;
    c.functionType = 10;
    EXPECT_EQ(dev_.ConfigAutonomousPifAO_ForMeasureArea(&c), -1);
    EXPECT_EQ(dev_.ConfigAutonomousPifAO_ForAlarm(&c), 0);
    c.functionType = 9;
    EXPECT_EQ(dev_.ConfigAutonomousPifAO_ForMeasureArea(&c), 0);
    c.functionType = 11;
    EXPECT_EQ(dev_.ConfigAutonomousPifAO_ForTInt(&c), 0);
    ASSERT_EQ(reports().size(), 3u);
    expectPayload(0, {0x34, 0x8C, 1, 2, 3, 0x04, 0x00, 0x0F, 0xFC});
    expectPayload(1, {0x34, 0x82, 1, 2, 3, 0x04, 0x05, 0x00, 0x00, 0x09, 0xC4, 0x00, 0x09});
    expectPayload(2, {0x34, 0x8F, 1, 2, 3, 0x00, 0x00, 0x09, 0xC4, 0x00, 0x09});
}

TEST_F(HIDAutonomous, MeasureAreaMaskInReportsOf34Bytes) {
    connect();
    std::vector<std::uint8_t> mask(300, 0);
    mask[0] = mask[9] = mask[299] = 1;
    tagAutonomousAreaConfig area;
    area.areaIndex = 5;
    area.option = 6;
    for (int i = 0; i < 5; ++i) {
        area.words[i] = static_cast<std::uint16_t>(0x0101 * (i + 1));
    }
    area.setting1 = 0x11;
    area.setting2 = 0x22;
    area.setting3 = 0x33;
    area.setting4 = 0x44;
    area.pixelCount = 300;
    area.pixelMask = mask.data();
    EXPECT_EQ(dev_.ConfigAutonomousMeasureArea(&area), 0);
    ASSERT_EQ(reports().size(), 3u);
    expectPayload(0, {0x34, 0x80, 5,    6,    0x01, 0x01, 0x02, 0x02, 0x03, 0x03, 0x04, 0x04, 0x05,
                      0x05, 0x22, 0x11, 0x44, 0x33, 0x01, 0x00, 0x00, 0x01, 0x2C, 0x00, 0x02});
    EXPECT_EQ(payload(1, 8), Bytes({0x34, 0x81, 5, 0x00, 0x00, 34, 0x01, 0x02}));
    EXPECT_EQ(reports()[1][40], 0);
    // Pixel 299: mask byte 37, bit 3.
    expectPayload(2, {0x34, 0x81, 5, 0x00, 0x01, 4, 0, 0, 0, 0x08});

    cam_->hid.reports.clear();
    cam_->hid.answersBeforeSilence = 1;  // header answered, first bitmap not
    EXPECT_EQ(dev_.ConfigAutonomousMeasureArea(&area), -1);
    EXPECT_EQ(reports().size(), 2u);
}

TEST_F(HIDAutonomous, CalculatedAreaFitsOneReport) {
    connect();
    std::uint16_t entries[3] = {0x0101, 0x0202, 0x0303};
    float values[10] = {12.9f, -1.0f, 3.0f, 4.0f, 5.0f, 6.0f, 7.0f, 8.0f, 9.0f, 10.0f};
    std::uint8_t flags[9] = {1, 0, 1, 0, 0, 0, 0, 1, 1};
    tagAutonomousAreaConfig area;
    area.areaIndex = 2;
    area.calculationOption = 7;
    area.words[0] = 0xA0B0;
    area.words[1] = 0xC0D0;
    area.setting1 = 1;
    area.setting2 = 2;
    area.setting3 = 3;
    area.setting4 = 4;
    area.entryCount = 3;
    area.valueCount = 2;
    area.flagCount = 9;
    area.entries = entries;
    area.values = values;
    area.flags = flags;
    EXPECT_EQ(dev_.ConfigAutonomousCalculatedArea(&area), 0);
    expectPayload(0, {0x34, 0x87, 2, 7,    0xA0, 0xB0, 0xC0, 0xD0, 2,    1,    4,    3,
                      3,    2,    9, 0x01, 0x01, 0x02, 0x03, 0x00, 0x0C, 0xFF, 0xFF, 0x85});

    area.entryCount = 4;
    area.valueCount = 10;  // 4 + 2 x 10 = 24 bytes: does not fit
    EXPECT_EQ(dev_.ConfigAutonomousCalculatedArea(&area), -1);
    area.entryCount = -1;
    area.valueCount = 0;
    EXPECT_EQ(dev_.ConfigAutonomousCalculatedArea(&area), -1);
    area.entryCount = 3;
    area.valueCount = 10;  // 23: the most that fits
    EXPECT_EQ(dev_.ConfigAutonomousCalculatedArea(&area), 0);
    EXPECT_EQ(reports().size(), 2u);
    cam_->hid.silentReads = 1;
    EXPECT_EQ(dev_.ConfigAutonomousCalculatedArea(&area), -1);  // always waits for its answer
}
