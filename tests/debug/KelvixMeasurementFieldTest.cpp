// Measurement fields on a live imager: a range change keeps each field's emissivity.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "imgproc/IRMeasurementField.h"
#include "imgproc/ImageProcessing.h"
#include "imgproc/OpEnergy2Temp.h"
#include "sdk/KelvixFixture.h"

namespace {

class KelvixMeasurementFieldTest : public kelvix_test::KelvixTest {
  protected:
    static std::vector<std::int16_t> lutOf(ImageProcessing* chain, std::size_t index) {
        const std::int16_t* lut = chain->getEnergy2Temp(index)->getLut();
        return std::vector<std::int16_t>(lut, lut + 23480);
    }
};

TEST_F(KelvixMeasurementFieldTest, RangeChangeKeepsEachFieldsEmissivity) {
    zol::Kelvix k;
    ASSERT_TRUE(initPlayback(k));
    ImageProcessing* chain = k.getImageProcessingChain();
    std::vector<std::uint16_t> copy(4);
    zol::IRMeasurementField field;
    field.x = field.y = 10;
    field.w = field.h = 2;
    field.copy = copy.data();
    field.emissivity = 0.7f;
    ASSERT_EQ(chain->addMeasurementField(&field), S_OK);
    const auto greyBefore = lutOf(chain, 1);
    EXPECT_NE(greyBefore, lutOf(chain, 0));

    ASSERT_TRUE(k.setTempRange(0, 250));
    // The new range's table with the field's own emissivity, not the main chain's.
    const auto mainAfter = lutOf(chain, 0);
    const auto greyAfter = lutOf(chain, 1);
    EXPECT_NE(greyAfter, greyBefore);
    EXPECT_NE(greyAfter, mainAfter);
    field.emissivity = 1.0f;
    ASSERT_TRUE(k.setTempRange(0, 250));
    EXPECT_EQ(lutOf(chain, 1), lutOf(chain, 0));
}

}  // namespace
