#include <gtest/gtest.h>

#include "KelvixFixture.h"

namespace {

using kelvix_test::KelvixTest;

TEST_F(KelvixTest, Smoke) {
    zol::Kelvix k;
    ASSERT_TRUE(initHid(k));
    int frames = 0;
    k.setThermalFrameCallback(
        [](unsigned short* d, unsigned w, unsigned h, zol::IRFrameMetadata m, void* arg) {
            ++*static_cast<int*>(arg);
            printf("frame %u x %u flag %u center %u\n", w, h, m.flagState, d[w * h / 2 + w / 2]);
        });
    for (int i = 0; i < 40; ++i) {
        feed(k, &frames);
    }
    EXPECT_EQ(frames, 40);
}

}  // namespace
