// The energy normalisation and energy-to-temperature operators against the lookup rule, with
// fresh, identity, partial and empty tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "imgproc/OpEnergy2Temp.h"
#include "imgproc/OpEnergyNormalize.h"
#include "imgproc/OpTestSupport.h"

namespace {

using optest::SourceOp;

struct EnergyChain {
    SharedParameterBlock shared;
    SourceOp root{&shared, 4, 2};
    std::unique_ptr<OpEnergyNormalize> norm{new OpEnergyNormalize(&root, &shared)};
    std::unique_ptr<OpEnergy2Temp> temp{new OpEnergy2Temp(norm.get(), &shared)};

    EnergyChain() { EXPECT_EQ(root.start(), S_OK); }
    void set(std::vector<std::int16_t> values) {
        for (std::size_t i = 0; i < values.size(); ++i) {
            root.pixels()[i] = values[i];
        }
    }
    std::int16_t out(int i) const {
        return reinterpret_cast<std::int16_t*>(temp->frame->pixels)[i];
    }
    std::int16_t normOut(int i) const {
        return reinterpret_cast<std::int16_t*>(norm->frame->pixels)[i];
    }
};

TEST(EnergyOperators, FreshTemperatureTableGivesNoValueAndInitShapesOutputs) {
    EnergyChain c;
    EXPECT_EQ(c.norm->getId(), 10);
    EXPECT_EQ(c.temp->getId(), 11);
    EXPECT_EQ(c.temp->frame->format->contentKind, 3u);
    EXPECT_EQ(c.temp->getWidth(), 4);
    c.set({0, 100, -3000, 20000, 5, 6, 7, 8});
    ASSERT_EQ(c.root.trigger(), S_OK);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(c.out(i), static_cast<std::int16_t>(0x8000)) << i;
    }
    // Normalisation disabled after init: a plain copy.
    EXPECT_FALSE(c.norm->isEnabled());
    EXPECT_EQ(c.normOut(3), 20000);
}

TEST(EnergyOperators, IdentityTablesClampAtTheirLimitsAndPassNoValue) {
    EnergyChain c;
    std::vector<std::int16_t> identity(lut::kSize);
    lut::fillIdentity(identity.data());
    ASSERT_EQ(c.norm->loadLut(identity.data(), lut::kSize, 3000), S_OK);
    ASSERT_EQ(c.temp->resetToIdentity(), S_OK);
    c.set({-3000, 20479, 20480, 32767, -3001, -32767, static_cast<std::int16_t>(0x8000), 0});
    ASSERT_EQ(c.root.trigger(), S_OK);
    const std::int16_t expected[8] = {
        -3000, 20479, 20479, 20479, -3000, -3000, static_cast<std::int16_t>(0x8000), 0};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(c.normOut(i), expected[i]) << i;
        EXPECT_EQ(c.out(i), expected[i]) << i;
    }
}

TEST(EnergyOperators, NormalizeLoadRepeatsTheLastEntryAndRefusesEmptyTables) {
    EnergyChain c;
    std::vector<std::int16_t> table(100);
    for (int i = 0; i < 100; ++i) {
        table[i] = static_cast<std::int16_t>(i * 2);
    }
    EXPECT_EQ(c.norm->loadLut(nullptr, 100, 0), E_POINTER);
    ASSERT_EQ(c.norm->loadLut(table.data(), 100, 0), S_OK);
    EXPECT_TRUE(c.norm->isEnabled());
    EXPECT_EQ(c.norm->getLut()[99], 198);
    EXPECT_EQ(c.norm->getLut()[100], 198);
    EXPECT_EQ(c.norm->getLut()[lut::kSize - 1], 198);

    std::vector<std::int16_t> other(10, 5);
    EXPECT_EQ(c.norm->loadLut(other.data(), 0, 7), E_INVALIDARG);
    EXPECT_EQ(c.norm->loadLut(other.data(), -4, 7), E_INVALIDARG);
    EXPECT_EQ(c.norm->getLut()[50], 100);
    EXPECT_EQ(c.norm->getOffset(), 0);

    c.norm->resetToIdentity();
    EXPECT_FALSE(c.norm->isEnabled());
    EXPECT_EQ(c.norm->getLut()[0], -3000);
}

TEST(EnergyOperators, SettledFramesKeepTheLastConversionUntilATableLoads) {
    EnergyChain c;
    ASSERT_EQ(c.temp->resetToIdentity(), S_OK);
    c.root.frame->metadata->settleMarker = 1;
    c.set({10, 20, 30, 40, 50, 60, 70, 80});
    ASSERT_EQ(c.root.trigger(), S_OK);  // table changed: converted
    EXPECT_FALSE(c.temp->isTableChanged());
    EXPECT_EQ(c.out(0), 10);
    EXPECT_EQ(+c.temp->frame->metadata->settleMarker, 0u);

    c.set({11, 21, 31, 41, 51, 61, 71, 81});
    ASSERT_EQ(c.root.trigger(), S_OK);  // settled, no change: output kept
    EXPECT_EQ(c.out(0), 10);
    EXPECT_EQ(+c.temp->frame->metadata->settleMarker, 1u);

    std::vector<std::int16_t> plusOne(lut::kSize);
    for (int i = 0; i < lut::kSize; ++i) {
        plusOne[i] = static_cast<std::int16_t>(i - 3000 + 1);
    }
    ASSERT_EQ(c.temp->loadLut(plusOne.data(), lut::kSize, 3000), S_OK);
    ASSERT_EQ(c.root.trigger(), S_OK);  // forced after the load
    EXPECT_EQ(c.out(0), 12);

    // A change of the incoming marker also converts once.
    c.root.frame->metadata->settleMarker = 0;
    c.set({1, 2, 3, 4, 5, 6, 7, 8});
    ASSERT_EQ(c.root.trigger(), S_OK);
    EXPECT_EQ(c.out(0), 2);
    c.root.frame->metadata->settleMarker = 1;
    c.set({100, 2, 3, 4, 5, 6, 7, 8});
    ASSERT_EQ(c.root.trigger(), S_OK);
    EXPECT_EQ(c.out(0), 101);
}

// Every 16-bit energy through both operators, with offsets that push the index past both ends
// of the table, against the lookup rule itself.
TEST(EnergyOperators, EveryEnergyFollowsTheLookupRule) {
    SharedParameterBlock shared;
    SourceOp root(&shared, 256, 256);
    OpEnergyNormalize norm(&root, &shared);
    OpEnergy2Temp temp(&norm, &shared);
    ASSERT_EQ(root.start(), S_OK);
    std::vector<std::int16_t> a(lut::kSize), b(lut::kSize);
    for (int i = 0; i < lut::kSize; ++i) {
        a[i] = static_cast<std::int16_t>(i * 7 - 40000);
        b[i] = static_cast<std::int16_t>(i * 3 + 5);
    }
    auto rule = [](const std::vector<std::int16_t>& t, int offset, std::int16_t v) {
        return v == lut::kNoValue ? v : t[std::clamp(v + offset, 0, lut::kSize - 1)];
    };
    for (std::int16_t offset : {3000, -20000, 31000}) {
        ASSERT_EQ(norm.loadLut(a.data(), lut::kSize, offset), S_OK);
        ASSERT_EQ(temp.loadLut(b.data(), lut::kSize, static_cast<std::int16_t>(-offset)), S_OK);
        for (int i = 0; i < 65536; ++i) {
            root.pixels()[i] = static_cast<std::int16_t>(i);
        }
        ASSERT_EQ(root.trigger(), S_OK);
        const auto* normOut = reinterpret_cast<const std::int16_t*>(norm.frame->pixels);
        const auto* tempOut = reinterpret_cast<const std::int16_t*>(temp.frame->pixels);
        for (int i = 0; i < 65536; ++i) {
            const auto v = static_cast<std::int16_t>(i);
            ASSERT_EQ(normOut[i], rule(a, offset, v)) << offset << " " << v;
            ASSERT_EQ(tempOut[i], rule(b, -offset, normOut[i])) << offset << " " << v;
        }
    }
}

TEST(EnergyOperators, PartialTemperatureTableLoadKeepsTheRest) {
    EnergyChain c;
    std::vector<std::int16_t> table(10, 77);
    ASSERT_EQ(c.temp->loadLut(table.data(), 10, 0), S_OK);
    EXPECT_EQ(c.temp->getLut()[9], 77);
    EXPECT_EQ(c.temp->getLut()[10], static_cast<std::int16_t>(0x8000));
    EXPECT_EQ(c.temp->getOffset(), 0);
    EXPECT_EQ(c.temp->loadLut(nullptr, 10, 0), E_POINTER);
}

}  // namespace
