// The chain's metadata record and the process-interface configuration record: resizing and
// bounds.
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
