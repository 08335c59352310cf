#include "platform/linux/qt_main_queue.h"

#include "qt_spin.h"

#include <gtest/gtest.h>

#include <climits>
#include <thread>
#include <vector>

namespace vornix::linux_platform {
namespace {

using vornix::testing::spinUntil;

TEST(QtMainQueue, RunsPostsInOrderOnTheMainThreadNeverInsideTheCaller) {
    vornix::testing::qtApp();
    QtMainQueue queue;
    std::vector<std::thread::id> ran;
    queue.post([&] { ran.push_back(std::this_thread::get_id()); });
    EXPECT_TRUE(ran.empty());
    std::thread([&] { queue.post([&] { ran.push_back(std::this_thread::get_id()); }); }).join();
    ASSERT_TRUE(spinUntil([&] { return ran.size() == 2; }));
    EXPECT_EQ(ran, std::vector(2, std::this_thread::get_id()));
}

TEST(QtMainQueue, CancelledOrDestroyedTimersNeverRunAgain) {
    vornix::testing::qtApp();
    QtMainQueue queue;
    int ticks = 0, dropped = 0, cancelledRan = 0;
    std::unique_ptr<RepeatingTimer> timer = queue.startRepeating(0.001, [&] {
        ++ticks;
        timer.reset(); // as an engine stopped by something its own tick did
    });
    EXPECT_EQ(ticks, 0);                                    // never inside the call
    queue.startRepeating(3600, [&] { ++dropped; }).reset(); // before its first tick
    queue.postDelayed(0.01, [&] { ++cancelledRan; })->cancel();
    bool later = false;
    auto probe = queue.postDelayed(0.05, [&] { later = true; });
    ASSERT_TRUE(spinUntil([&] { return later; }));
    probe->cancel(); // after it ran: harmless
    EXPECT_EQ(ticks, 1);
    EXPECT_EQ(dropped + cancelledRan, 0);
    EXPECT_EQ(timerMilliseconds(-3.0), 0);
    EXPECT_EQ(timerMilliseconds(8.0), 8000);
    EXPECT_EQ(timerMilliseconds(1e12), INT_MAX);
}

} // namespace
} // namespace vornix::linux_platform
