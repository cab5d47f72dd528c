// The metadata operator: default values, digital inputs as triggers, analog thresholds.
#include <gtest/gtest.h>

#include <memory>
#include <tuple>
#include <vector>

#include "imgproc/OpMetadata.h"
#include "imgproc/OpTestSupport.h"

namespace {

using optest::SourceOp;

// A process-interface configuration with the given channel modes (digital, then analog).
std::vector<std::uint8_t> pifRecord(const std::vector<int>& digitalModes,
                                    const std::vector<int>& analogModes, std::uint16_t threshold,
                                    std::uint8_t diLowActive, std::uint8_t aiOpenIfLower = 0) {
    const std::size_t entries = digitalModes.size() + analogModes.size();
    std::vector<std::uint8_t> bytes(64 + 40 * entries, 0);
    auto* rec = reinterpret_cast<PifConfigRecord*>(bytes.data());
    rec->size = static_cast<std::uint16_t>(bytes.size());
    rec->digitalInputCount = static_cast<std::uint16_t>(digitalModes.size());
    rec->analogInputCount = static_cast<std::uint16_t>(analogModes.size());
    rec->aiFlagThreshold = threshold;
    rec->diLowActive = diLowActive;
    rec->aiOpenIfLower = aiOpenIfLower;
    std::size_t i = 0;
    for (int mode : digitalModes) {
        std::int32_t m = mode;
        std::memcpy(bytes.data() + 64 + 40 * i++, &m, 4);
    }
    for (int mode : analogModes) {
        std::int32_t m = mode;
        std::memcpy(bytes.data() + 64 + 40 * i++, &m, 4);
    }
    return bytes;
}

struct MetadataChain {
    SharedParameterBlock shared;
    SourceOp root{&shared, 4, 2};
    OpMetadata meta{&root, &shared};
    std::vector<std::uint8_t> pif;

    MetadataChain() { EXPECT_EQ(root.start(), S_OK); }
    void configure(std::vector<std::uint8_t> bytes) {
        pif = std::move(bytes);
        shared.pifConfig = reinterpret_cast<const PifConfigRecord*>(pif.data());
    }
    FrameMetadataRecord* in() { return root.frame->metadata; }
    const FrameMetadataRecord* out() const { return meta.frame->metadata; }
    void frameWithBits(std::uint32_t bits) {
        in()->digitalInputBits = bits;
        EXPECT_EQ(root.trigger(), S_OK);
    }
};

TEST(MetadataOperator, UnknownTemperaturesAndValuesGetDefaults) {
    MetadataChain c;
    EXPECT_EQ(c.meta.getId(), 3);
    c.configure(pifRecord({}, {0, 0}, 100, 0));
    c.in()->tempOptics = 20.0f;
    c.in()->tempBox = 31.0f;
    c.in()->hwFrameCounter = 77;
    c.root.frame->metadata = OpBase::resizeMetadata(c.in(), 2);
    c.in()->setAnalog(0, 300);
    c.root.pixels()[5] = 1234;
    ASSERT_EQ(c.root.trigger(), S_OK);

    EXPECT_FLOAT_EQ(+c.out()->tempFlag, 35.0f);
    EXPECT_FLOAT_EQ(+c.out()->tempChip, 35.0f);
    EXPECT_FLOAT_EQ(+c.out()->tempBox, 31.0f);
    EXPECT_FLOAT_EQ(+c.out()->tempOptics, 20.0f);
    EXPECT_EQ(+c.out()->digitalInputBits, 0u);
    EXPECT_EQ(c.out()->analog(0), 300);
    EXPECT_EQ(c.out()->analog(1), 0);
    EXPECT_EQ(reinterpret_cast<std::int16_t*>(c.meta.frame->pixels)[5], 1234);

    EXPECT_FLOAT_EQ(c.meta.lastFlagTemp, 35.0f);
    EXPECT_FLOAT_EQ(c.meta.lastOpticsTemp, 20.0f);
    EXPECT_EQ(c.meta.lastHwFrameCounter, 77u);
    EXPECT_EQ(c.meta.analogCount, 2);
    EXPECT_EQ(c.meta.lastAnalogValues, (std::vector<std::uint16_t>{300, 0}));
}

TEST(MetadataOperator, DigitalInputsRaiseTriggersAndCallbacks) {
    MetadataChain c;
    // Channel 0 mode 3 (snapshot), channel 1 mode 2 (callback), channel 2 mode 8 (level),
    // channel 3 mode 7 (second trigger).
    c.configure(pifRecord({3, 2, 8, 7}, {}, 0, 0));
    std::vector<std::tuple<std::uint32_t, bool, std::uint16_t>> calls;
    c.meta.digitalCallback = [&](std::uint32_t a, bool s, std::uint16_t ch) {
        calls.emplace_back(a, s, ch);
    };
    c.frameWithBits(0);
    EXPECT_EQ(c.shared.pifSnapshotRequest, 0);
    c.frameWithBits(0b0101);
    EXPECT_EQ(c.shared.pifSnapshotRequest, 1);
    EXPECT_EQ(c.shared.inputLevel, 1);
    c.shared.pifSnapshotRequest = 0;
    c.frameWithBits(0b0101);  // no change: no new request
    EXPECT_EQ(c.shared.pifSnapshotRequest, 0);
    c.frameWithBits(0);
    EXPECT_EQ(c.shared.pifSnapshotRequest, 0);  // falling edge of an active-high input
    EXPECT_EQ(c.shared.inputLevel, 0);
    c.frameWithBits(0b1010);
    EXPECT_EQ(c.shared.secondTrigger, 1);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], std::make_tuple(0u, true, std::uint16_t{1}));
}

TEST(MetadataOperator, DigitalChannelsBeyondTheWordReadAsZero) {
    MetadataChain c;
    std::vector<int> modes(33, 0);
    modes[32] = 3;
    c.configure(pifRecord(modes, {}, 0, 0));
    c.frameWithBits(1);  // bit 0 set: channel 32 must not see it
    EXPECT_EQ(c.shared.pifSnapshotRequest, 0);
}

TEST(MetadataOperator, AnalogInputsCompareWithTheThresholdWithinTheRecord) {
    MetadataChain c;
    // Three analog channels configured, but the frame's record carries only one.
    c.configure(pifRecord({}, {3, 2, 2}, 500, 0, 1));
    std::vector<std::tuple<std::uint32_t, bool, std::uint16_t>> calls;
    c.meta.analogCallback = [&](std::uint32_t a, bool s, std::uint16_t ch) {
        calls.emplace_back(a, s, ch);
    };
    c.in()->setAnalog(0, 400);
    ASSERT_EQ(c.root.trigger(), S_OK);
    EXPECT_EQ(c.shared.pifSnapshotRequest, 0);
    c.in()->setAnalog(0, 600);
    ASSERT_EQ(c.root.trigger(), S_OK);
    EXPECT_EQ(c.shared.pifSnapshotRequest, 0);  // above the threshold, but open-if-lower inverts
    EXPECT_TRUE(calls.empty());
    EXPECT_EQ(c.meta.lastAnalogValues.size(), 3u);
    EXPECT_EQ(c.meta.lastAnalogValues[0], 600);
    EXPECT_EQ(c.meta.lastAnalogValues[1], 0);
}

}  // namespace
