#include <gtest/gtest.h>

#include "SovantaApp/Models/SessionTab.h"
#include "SovantaApp/Models/TaskPhase.h"
#include "SovantaApp/Throttle.h"

using namespace sovanta::app;
using namespace std::chrono_literals;

TEST(Throttle, LetsOneUpdateThroughPerInterval) {
    auto now = std::chrono::steady_clock::time_point{} + 1000s;
    Throttle throttle(0.15, [&] { return now; });
    EXPECT_TRUE(throttle.ready());  // the first always passes
    now += 50ms;
    EXPECT_FALSE(throttle.ready());
    now += 99ms;
    EXPECT_FALSE(throttle.ready());  // 149 ms after the last that passed
    now += 1ms;
    EXPECT_TRUE(throttle.ready());  // exactly the interval passes
    now += 100ms;
    EXPECT_FALSE(throttle.ready());  // a dropped update does not move the mark
    now += 60ms;
    EXPECT_TRUE(throttle.ready());
}

TEST(Throttle, FirstUpdatePassesAtAnyClockValue) {
    Throttle throttle(0.4, [] { return std::chrono::steady_clock::time_point::min(); });
    EXPECT_TRUE(throttle.ready());
    EXPECT_FALSE(throttle.ready());
}

// What a session announces of its phases is in the tests of the session.
TEST(TaskPhase, RunningAndTheTabsByTheirTexts) {
    EXPECT_TRUE(isRunning(phase::Running{}));
    EXPECT_FALSE(isRunning(phase::Idle{}));

    EXPECT_EQ(sessionTabFromText("Filer"), SessionTab::files);
    EXPECT_EQ(sessionTabFromText("Oversigt"), SessionTab::overview);
    EXPECT_EQ(sessionTabFromText("Sektorer"), SessionTab::sectors);
    EXPECT_EQ(sessionTabFromText("filer"), std::nullopt);
    EXPECT_EQ(sessionTabFromText("files"), std::nullopt);
    EXPECT_EQ(caseName(SessionTab::sectors), "sectors");
}
