// The control device of recordings: its identity, kept settings and absent temperatures.
#include <gtest/gtest.h>

#include "device/PlaybackControlDevice.h"

namespace {

TEST(PlaybackControlDevice, AnswersItsIdentityKeepsSettingsAndHasNoTemperatures) {
    PlaybackControlDevice d(4711, 3100, 2250);
    bool same = true;
    EXPECT_EQ(d.Init(0x0403, 0xDE37, 4711, false, &same), 0);
    EXPECT_EQ(d.InitPif(), 0);
    EXPECT_EQ(d.GetSerialNumber(), 4711u);
    EXPECT_EQ(d.GetHWRevision(), 3100);
    EXPECT_EQ(d.GetFWRevision(), 2250);

    d.SetSkim(1234);
    d.SetFid(3);
    d.SetSkim_Adjust(1240);
    d.SetTempTec(38.5f);
    d.SetTecEnable(true);
    d.SetBiasEnable(true);
    d.SetTec_D(120);
    std::uint16_t v = 0;
    d.GetSkim(&v);
    EXPECT_EQ(v, 1234);
    d.GetFid(&v);
    EXPECT_EQ(v, 3);
    d.GetSkim_Adjust(&v);
    EXPECT_EQ(v, 1240);
    d.GetTec_D(&v);
    EXPECT_EQ(v, 120);
    float t = 0;
    d.GetTempTec(&t);
    EXPECT_FLOAT_EQ(t, 38.5f);
    bool on = false;
    d.GetTecEnable(&on);
    EXPECT_TRUE(on);
    d.GetBiasEnable(&on);
    EXPECT_TRUE(on);

    for (auto get : {&BaseControlDevice::GetTempChip, &BaseControlDevice::GetTempBox,
                     &BaseControlDevice::GetTempFlag, &BaseControlDevice::GetTempOptics}) {
        t = 0;
        (d.*get)(&t);
        EXPECT_FLOAT_EQ(t, -100.0f);
    }
    // Camera-only commands are accepted and change nothing; their queries answer zeros.
    EXPECT_EQ(d.SetFlagCycle(10), 0);
    EXPECT_FALSE(d.GetShortImagerCaps());
    std::uint16_t count = 7;
    d.GetPifAICount(&count);
    EXPECT_EQ(count, 0);
    d.GetPifAICount(nullptr);
}

}  // namespace
