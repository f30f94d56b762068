#include <gtest/gtest.h>

#include <QElapsedTimer>

#include "AppTestSupport.h"
#include "SovantaApp/DiskWatcher.h"

using namespace sovanta::app;
using namespace sovanta::test;

namespace {

void spinFor(int milliseconds) {
    QElapsedTimer clock;
    clock.start();
    spinUntil([&] { return clock.elapsed() >= milliseconds; });
}

}  // namespace

TEST(DiskWatcher, ABurstOfEventsGivesOneReloadAfterTheLast) {
    std::vector<qint64> reloads;
    QElapsedTimer sinceLast;
    DiskWatcher watcher([&] { reloads.push_back(sinceLast.elapsed()); });
    for (int i = 0; i < 3; ++i) {
        watcher.trigger();
        sinceLast.start();
        spinFor(500);
        EXPECT_TRUE(reloads.empty()) << "event " << i;
    }
    ASSERT_TRUE(spinUntil([&] { return !reloads.empty(); }));
    EXPECT_GE(reloads[0], 800);
    EXPECT_LT(reloads[0], 2000);
    spinFor(1000);
    EXPECT_EQ(reloads.size(), 1u);

    // A later event starts a new burst.
    watcher.trigger();
    ASSERT_TRUE(spinUntil([&] { return reloads.size() == 2; }));
}

TEST(DiskWatcher, AWatcherThatIsGoneReloadsNothing) {
    int reloads = 0;
    {
        DiskWatcher watcher([&] { ++reloads; });
        watcher.trigger();
    }
    spinFor(1200);
    EXPECT_EQ(reloads, 0);
}
