// The virtual clock and the manual-reset events, named and unnamed.
#include <gtest/gtest.h>

#include <thread>

#include "platform/Clock.h"
#include "platform/Event.h"

namespace {

TEST(VirtualClock, SleepAdvancesTicksAndMilliseconds) {
    platform::VirtualClock c(0, 0xFFFFFF00u);
    platform::ScopedClock scoped(c);
    const std::uint32_t before = platform::clock().tickMs();
    platform::clock().sleepMs(1000);
    EXPECT_EQ(platform::clock().ticks(), 10'000'000);
    // The millisecond tick wraps; elapsed and deadline arithmetic stay right across it.
    EXPECT_LT(platform::clock().tickMs(), before);
    EXPECT_EQ(platform::elapsedMs(platform::clock().tickMs(), before), 1000u);
    EXPECT_TRUE(platform::reached(platform::clock().tickMs(), before + 1000));
    EXPECT_FALSE(platform::reached(platform::clock().tickMs(), before + 1001));
}

TEST(Event, ManualResetWakesEveryWaiterUntilReset) {
    platform::Event e;
    EXPECT_FALSE(e.waitFor(0));
    std::thread a([&] { e.wait(); });
    std::thread b([&] { e.wait(); });
    e.set();
    a.join();
    b.join();
    EXPECT_TRUE(e.waitFor(0));
    e.reset();
    EXPECT_FALSE(e.isSet());
}

TEST(Event, NamedEventsShareOneObjectPerName) {
    auto a = platform::Event::named("wakeUp-test");
    auto b = platform::Event::named("wakeUp-test");
    auto c = platform::Event::named("other-test");
    EXPECT_EQ(a.get(), b.get());
    EXPECT_NE(a.get(), c.get());
    a->set();
    EXPECT_TRUE(b->isSet());
}

}  // namespace
