#include <gtest/gtest.h>

#include "imgproc/ImagerMetadataRecord.h"
#include "imgproc/SharedParameterBlock.h"

namespace {

TEST(ImagerMetadataRecord, ResizingKeepsTheFixedPartAndClearsTheEntries) {
    ImagerMetadataRecord* r = imager_metadata::initParameters(nullptr, 2, 1);
    EXPECT_EQ(+r->entryCount, 2);
    EXPECT_EQ(+r->companion, 1);
    EXPECT_EQ(+r->serial, 0u);
    r->serial = 12345;
    r->setEntry(1, 77);
    EXPECT_EQ(imager_metadata::initParameters(r, 2, 3), r);
    EXPECT_EQ(+r->companion, 3);
    EXPECT_EQ(r->entry(1), 77);

    r = imager_metadata::initParameters(r, 4, 1);
    EXPECT_EQ(+r->entryCount, 4);
    EXPECT_EQ(+r->serial, 12345u);
    for (unsigned i = 0; i < 4; ++i) {
        EXPECT_EQ(r->entry(i), 0);
    }
    imager_metadata::release(r);
}

TEST(ImagerMetadataRecord, FillFromModelEncodesTemperaturesAndMode) {
    SharedParameterBlock shared;
    shared.tMin = -20.0f;
    shared.tMax = 100.0f;
    shared.tMinExt = -20.0f;
    shared.tMaxExt = 150.0f;
    shared.decimal = 1;
    shared.fov = 33;
    shared.frameRate = 27;
    shared.revision2100 = 1;
    ImagerMetadataModel model;
    model.t1 = -5.0;
    model.t3 = 100.0;
    model.e1 = 0;
    model.e3 = 15000;
    model.lambda = 1.1;
    model.thirdTemp = -100.0;
    model.modelTable = true;

    ImagerMetadataRecord* r = imager_metadata::allocate(2);
    imager_metadata::fillFromModel(r, model, shared);
    EXPECT_EQ(+r->refTemp1Raw, 950);
    EXPECT_EQ(+r->refTemp2Raw, 2000);
    EXPECT_EQ(+r->refValue2, 15000);
    EXPECT_EQ(+r->wavelength1, 1100000u);
    EXPECT_EQ(+r->refTemp3Raw, 0);
    EXPECT_EQ(+r->tMinRaw, 800);
    EXPECT_EQ(+r->tMaxExtRaw, 2500);
    EXPECT_EQ(+r->fov, 33);
    EXPECT_EQ(+r->frameRate, 27);
    EXPECT_EQ(+r->tableMode, 3);
    // The bytes an application reads.
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(r);
    EXPECT_EQ(bytes[34] | (bytes[35] << 8), 800);
    EXPECT_EQ(bytes[77], 3);
    imager_metadata::release(r);
}

TEST(PifConfigRecord, EntriesStopAtTheRecordSize) {
    std::uint8_t bytes[104] = {};
    auto* rec = reinterpret_cast<PifConfigRecord*>(bytes);
    rec->size = 104;
    rec->digitalInputCount = 1;
    rec->analogInputCount = 2;  // claims more than the record holds
    bytes[64] = 3;
    EXPECT_EQ(rec->entryCount(), 1u);
    ASSERT_NE(rec->entry(0), nullptr);
    EXPECT_EQ(+rec->entry(0)->mode, 3);
    EXPECT_EQ(rec->entry(1), nullptr);
}

}  // namespace
