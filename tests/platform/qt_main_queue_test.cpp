#include "platform/linux/qt_main_queue.h"

#include "qt_spin.h"

#include <gtest/gtest.h>

#include <climits>
#include <thread>

namespace vornix::linux_platform {
namespace {

TEST(QtMainQueue, RunsPostsOnTheMainThreadLaterAndNeverACancelledTimer) {
    vornix::testing::qtApp();
    QtMainQueue queue;
    std::vector<std::thread::id> ran;
    std::thread([&] { queue.post([&] { ran.push_back(std::this_thread::get_id()); }); }).join();
    int ticks = 0, cancelledRan = 0;
    std::unique_ptr<RepeatingTimer> timer = queue.startRepeating(0.001, [&] {
        ++ticks;
        timer.reset(); // as an engine stopped by something its own tick did
    });
    queue.startRepeating(3600, [&] { ++cancelledRan; }).reset(); // before its first tick
    queue.postDelayed(0.01, [&] { ++cancelledRan; })->cancel();
    EXPECT_EQ(ran.size() + ticks, 0u); // nothing inside the calls
    bool later = false;
    auto probe = queue.postDelayed(0.05, [&] { later = true; });
    ASSERT_TRUE(vornix::testing::spinUntil([&] { return later; }));
    probe->cancel(); // after it ran: harmless
    EXPECT_EQ(ran, std::vector{std::this_thread::get_id()});
    EXPECT_EQ(ticks, 1);
    EXPECT_EQ(cancelledRan, 0);
    EXPECT_EQ(timerMilliseconds(-3.0), 0);
    EXPECT_EQ(timerMilliseconds(1e12), INT_MAX);
}

} // namespace
} // namespace vornix::linux_platform
