// The bridge protocol's byte layouts: configuration records, image headers and their checks,
// pixel byte order.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "kelvix/ThermalCamConfig.h"
#include "sdk/daemon/server/BridgeWire.h"

namespace {

using zol::bridge::ThermalCamConfig;

std::vector<std::int32_t> configWords(const ThermalCamConfig& config) {
    std::uint8_t bytes[zol::bridge::kConfigSize];
    zol::bridge::encodeConfig(config, bytes);
    std::vector<std::int32_t> words;
    for (std::size_t i = 0; i < sizeof(bytes); i += 4) {
        words.push_back(static_cast<std::int32_t>(zol::bridge::getU32(bytes + i)));
    }
    return words;
}

std::vector<std::uint8_t> configBytes(const std::vector<std::int32_t>& words) {
    std::vector<std::uint8_t> bytes(words.size() * 4);
    for (std::size_t i = 0; i < words.size(); ++i) {
        zol::bridge::putU32(&bytes[4 * i], static_cast<std::uint32_t>(words[i]));
    }
    return bytes;
}

TEST(BridgeWire, ConfigRecordIsFourteenWordsValueThenFlag) {
    EXPECT_EQ(configWords(ThermalCamConfig()),
              (std::vector<std::int32_t>{0, 0, 0, 0, 1, 0, 15, 0, 0, 0, -20, 0, 100, 0}));

    ThermalCamConfig range;
    range.tMin = {true, 0};
    range.tMax = {true, 50};
    EXPECT_EQ(configWords(range),
              (std::vector<std::int32_t>{0, 0, 0, 0, 1, 0, 15, 0, 0, 0, 0, 1, 50, 1}));

    ThermalCamConfig all;
    all.palette = {true, 9};
    all.paletteScale = {true, 3};
    all.autoFlag = {true, false};
    all.fourthValue = {true, -7};
    all.fifthValue = {true, 123456};
    EXPECT_EQ(configWords(all),
              (std::vector<std::int32_t>{9, 1, 3, 1, 0, 1, -7, 1, 123456, 1, -20, 0, 100, 0}));

    // Little-endian words: the first value's low byte comes first.
    std::uint8_t bytes[zol::bridge::kConfigSize];
    all.palette.second = 0x01020304;
    zol::bridge::encodeConfig(all, bytes);
    EXPECT_EQ(bytes[0], 0x04);
    EXPECT_EQ(bytes[3], 0x01);
    EXPECT_EQ(bytes[40], 0xEC);  // -20
    EXPECT_EQ(bytes[43], 0xFF);
}

TEST(BridgeWire, ConfigDecodingTakesAnyNonZeroFlagAsSet) {
    const auto bytes = configBytes({5, 7, 2, 0, 42, -1, 16, 0, 1, 0, -40, 2, 300, 1});
    const ThermalCamConfig c = zol::bridge::decodeConfig(bytes.data());
    EXPECT_EQ(c.palette, (std::pair<bool, int>{true, 5}));
    EXPECT_EQ(c.paletteScale, (std::pair<bool, int>{false, 2}));
    EXPECT_EQ(c.autoFlag, (std::pair<bool, bool>{true, true}));
    EXPECT_EQ(c.fourthValue, (std::pair<bool, int>{false, 16}));
    EXPECT_EQ(c.fifthValue, (std::pair<bool, int>{false, 1}));
    EXPECT_EQ(c.tMin, (std::pair<bool, int>{true, -40}));
    EXPECT_EQ(c.tMax, (std::pair<bool, int>{true, 300}));
    // Encoding writes flags and the automatic-flag value as 0 or 1.
    EXPECT_EQ(configWords(c),
              (std::vector<std::int32_t>{5, 1, 2, 0, 1, 1, 16, 0, 1, 0, -40, 1, 300, 1}));
}

TEST(BridgeWire, ImageHeaderLayout) {
    zol::bridge::ImageHeader h;
    ASSERT_TRUE(zol::bridge::makeImageHeader(0xA1B2C3D4, 160, 120, 1, 2, h));
    std::uint8_t bytes[zol::bridge::kImageHeaderSize];
    zol::bridge::encodeImageHeader(h, bytes);
    const std::uint8_t expected[] = {0xD4, 0xC3, 0xB2, 0xA1, 0x00, 0x96, 0, 0, 160, 0, 0, 0,
                                     120,  0,    0,    0,    1,    0,    0, 0, 2,   0, 0, 0};
    EXPECT_EQ(std::vector<std::uint8_t>(bytes, bytes + 24),
              std::vector<std::uint8_t>(expected, expected + 24));
    const zol::bridge::ImageHeader back = zol::bridge::decodeImageHeader(bytes);
    EXPECT_EQ(back.frameCounter, 0xA1B2C3D4u);
    EXPECT_EQ(back.payloadSize, 38400u);
    EXPECT_EQ(back.width, 160u);
    EXPECT_EQ(back.height, 120u);
    EXPECT_EQ(back.channels, 1u);
    EXPECT_EQ(back.bytesPerChannel, 2u);

    ASSERT_TRUE(zol::bridge::makeImageHeader(3, 164, 120, 3, 1, h));
    EXPECT_EQ(h.payloadSize, 164u * 120u * 3u);
    // Images whose sizes the header cannot carry, or a client would refuse, are not made.
    EXPECT_FALSE(zol::bridge::makeImageHeader(0, 65536, 65536, 1, 2, h));
    EXPECT_FALSE(zol::bridge::makeImageHeader(0, 16385, 1, 3, 1, h));
}

TEST(BridgeWire, ReceivedHeadersAreCheckedBeforeAnythingIsAllocated) {
    auto header = [](std::uint32_t payload, std::uint32_t w, std::uint32_t h, std::uint32_t ch,
                     std::uint32_t bpc) {
        zol::bridge::ImageHeader r;
        r.payloadSize = payload;
        r.width = w;
        r.height = h;
        r.channels = ch;
        r.bytesPerChannel = bpc;
        return r;
    };
    using zol::bridge::checkImageHeader;
    EXPECT_EQ(checkImageHeader(header(38400, 160, 120, 1, 2), 1, 2), nullptr);
    EXPECT_EQ(checkImageHeader(header(57600, 160, 120, 3, 1), 3, 1), nullptr);
    EXPECT_EQ(checkImageHeader(header(0, 0, 0, 1, 2), 1, 2), nullptr);
    EXPECT_NE(checkImageHeader(header(38401, 160, 120, 1, 2), 1, 2), nullptr);
    EXPECT_NE(checkImageHeader(header(0, 160, 120, 1, 2), 1, 2), nullptr);
    EXPECT_NE(checkImageHeader(header(38400, 160, 120, 3, 1), 1, 2), nullptr);
    EXPECT_NE(checkImageHeader(header(57600, 160, 120, 1, 3), 3, 1), nullptr);
    // A payload that wraps in 32 bits, and sides beyond the bound.
    EXPECT_NE(checkImageHeader(header(0, 65536, 32768, 1, 2), 1, 2), nullptr);
    EXPECT_NE(checkImageHeader(header(2 * 20000, 20000, 1, 1, 2), 1, 2), nullptr);
    EXPECT_NE(checkImageHeader(header(0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 2), 1, 2),
              nullptr);
}

TEST(BridgeWire, ThermalPixelsTravelLittleEndian) {
    const std::uint16_t values[] = {0x1234, 0xABCD, 1000};
    std::uint8_t bytes[6];
    zol::bridge::thermalToWire(values, 3, bytes);
    const std::uint8_t expected[] = {0x34, 0x12, 0xCD, 0xAB, 0xE8, 0x03};
    EXPECT_EQ(std::vector<std::uint8_t>(bytes, bytes + 6),
              std::vector<std::uint8_t>(expected, expected + 6));
    std::uint16_t back[3];
    std::memcpy(back, bytes, sizeof(bytes));
    zol::bridge::thermalFromWire(back, 3);
    EXPECT_EQ(std::vector<std::uint16_t>(back, back + 3),
              std::vector<std::uint16_t>(values, values + 3));
}

}  // namespace
