#include "platform/linux/qt_main_queue.h"

#include "qt_spin.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace vornix::linux_platform {
namespace {

using vornix::testing::spinUntil;

TEST(QtMainQueue, PostRunsLaterOnTheMainThreadAlsoFromWorkers) {
    vornix::testing::qtApp();
    QtMainQueue queue;
    std::vector<int> order;
    queue.post([&] { order.push_back(1); });
    EXPECT_TRUE(order.empty()); // never inside the caller
    std::atomic<bool> ranOnMain{false};
    const auto mainId = std::this_thread::get_id();
    std::thread worker([&] {
        queue.post([&] {
            order.push_back(2);
            ranOnMain = std::this_thread::get_id() == mainId;
        });
    });
    worker.join();
    ASSERT_TRUE(spinUntil([&] { return order.size() == 2; }));
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_TRUE(ranOnMain);
}

TEST(QtMainQueue, RepeatingTimerTicksAsynchronouslyAtOnceAndStopsWhenDestroyed) {
    vornix::testing::qtApp();
    QtMainQueue queue;
    int ticks = 0;
    auto timer = queue.startRepeating(3600, [&] { ++ticks; });
    EXPECT_EQ(ticks, 0);
    ASSERT_TRUE(spinUntil([&] { return ticks == 1; }));

    int dropped = 0;
    auto cancelled = queue.startRepeating(3600, [&] { ++dropped; });
    cancelled.reset(); // before its first tick was delivered
    bool flushed = false;
    queue.post([&] { flushed = true; });
    ASSERT_TRUE(spinUntil([&] { return flushed; }));
    EXPECT_EQ(dropped, 0);
}

TEST(QtMainQueue, CancelledDelayedTaskNeverRuns) {
    vornix::testing::qtApp();
    QtMainQueue queue;
    bool cancelledRan = false, keptRan = false;
    auto cancelled = queue.postDelayed(0.01, [&] { cancelledRan = true; });
    auto kept = queue.postDelayed(0.02, [&] { keptRan = true; });
    cancelled->cancel();
    ASSERT_TRUE(spinUntil([&] { return keptRan; }));
    EXPECT_FALSE(cancelledRan);
    kept->cancel(); // after it ran: harmless
}

TEST(QtMainQueue, TimerMillisecondsAreClamped) {
    EXPECT_EQ(timerMilliseconds(0.0), 0);
    EXPECT_EQ(timerMilliseconds(-3.0), 0);
    EXPECT_EQ(timerMilliseconds(8.0), 8000);
    EXPECT_EQ(timerMilliseconds(1e12), INT_MAX);
}

TEST(QtMainQueue, TimerDroppedFromInsideItsOwnTickStopsCleanly) {
    vornix::testing::qtApp();
    QtMainQueue queue;
    int ticks = 0;
    std::unique_ptr<RepeatingTimer> timer;
    timer = queue.startRepeating(0.001, [&] {
        ++ticks;
        timer.reset(); // as an engine stopped by something its tick did
    });
    ASSERT_TRUE(spinUntil([&] { return ticks == 1; }));
    bool later = false;
    auto probe = queue.postDelayed(0.02, [&] { later = true; });
    ASSERT_TRUE(spinUntil([&] { return later; }));
    EXPECT_EQ(ticks, 1);
}

} // namespace
} // namespace vornix::linux_platform
