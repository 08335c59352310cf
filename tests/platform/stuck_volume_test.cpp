// The engine on the real Qt event loop, real worker threads and real file systems for a minute
// of real time: one drive whose statfs hangs for good and one whose writes fail (the tests' FUSE
// file system), beside a healthy tmpfs. Root only; skips otherwise.

#include "engine/vornix.h"
#include "engine/worker_pool.h"
#include "platform/linux/ping_file_system.h"
#include "platform/linux/qt_main_queue.h"

#include "log_fakes.h"
#include "qt_spin.h"
#include "scratch_mounts.h"
#include "volume_fakes.h"

#include <QEventLoop>
#include <QTimer>
#include <gtest/gtest.h>

#include <condition_variable>
#include <thread>

namespace vornix {
namespace {

using namespace vornix::testing;
using Steady = std::chrono::steady_clock;

TEST(StuckDrive, HealthyDrivesKeepTheirRhythmAndTheEventLoopStaysResponsive) {
    if (const auto why = enterPrivateMountNamespace(); !why.empty())
        GTEST_SKIP() << why;
    qtApp();
    ScratchDir scratch;
    ASSERT_EQ(mountTmpfs(scratch.subdir("healthy")), "");
    TestFuse stuck(scratch.subdir("stuck")), failing(scratch.subdir("failing"));
    if (!stuck.error().empty() || !failing.error().empty())
        GTEST_SKIP() << stuck.error() << failing.error();
    ASSERT_TRUE(stuck.command("block-statfs") && failing.command("write-eio"));
    // Should statfs ever run on this thread, the loop would freeze for good: a watchdog lets
    // the drive answer after a while, so that the test fails instead of hanging.
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    std::thread watchdog([&] {
        std::unique_lock lock(mutex);
        if (!finished.wait_for(lock, std::chrono::seconds(90), [&] { return done; }))
            stuck.command("release");
    });

    linux_platform::QtMainQueue queue;
    linux_platform::SystemWallClock clock;
    RecordingSystemLog systemLog;
    RecordingNotifier notifier;
    EventLog log(clock, systemLog, notifier);
    FakeVolumeSystem volumeSystem;
    VolumeMonitor monitor(log, clock, volumeSystem.ports());
    monitor.volumes = {
        {.id = "S", .name = "Stuck", .isCurrentlyMounted = true, .mountPath = stuck.dir()},
        {.id = "F", .name = "Failing", .isCurrentlyMounted = true, .mountPath = failing.dir()},
        {.id = "H",
         .name = "Healthy",
         .isCurrentlyMounted = true,
         .mountPath = scratch / "healthy"},
    };
    std::vector<Steady::time_point> healthyPings;
    auto token = log.events.subscribe([&](const std::vector<LogEvent>& events) {
        if (!events.empty() && events.front().kind == LogEvent::Kind::pingSucceeded)
            healthyPings.push_back(Steady::now());
    });
    // A probe due every 10 ms notes how late it runs.
    std::function<void()> probe;
    std::shared_ptr<DelayedTask> pending;
    Steady::duration worstLateness{};
    auto due = Steady::now();
    probe = [&] {
        worstLateness = std::max(worstLateness, Steady::now() - due);
        due = Steady::now() + std::chrono::milliseconds(10);
        pending = queue.postDelayed(0.01, probe);
    };
    probe();

    linux_platform::LinuxPingFileSystem fs;
    WorkerPool pool(queue);
    {
        Vornix engine(monitor, log, {queue, clock, pool, fs});
        engine.start(1);
        QEventLoop loop;
        QTimer::singleShot(60'000, &loop, &QEventLoop::quit);
        loop.exec();
        const auto status = stuck.status();
        ASSERT_TRUE(status);
        EXPECT_EQ(status->blocked, 1); // one statfs in the kernel, however many pings
    }
    pending->cancel();
    {
        std::lock_guard lock(mutex);
        done = true;
    }
    finished.notify_all();
    watchdog.join();

    EXPECT_LT(worstLateness, std::chrono::milliseconds(250));
    ASSERT_GE(healthyPings.size(), 55u);
    for (std::size_t i = 1; i < healthyPings.size(); ++i)
        EXPECT_LT(healthyPings[i] - healthyPings[i - 1], std::chrono::milliseconds(1500)) << i;
    EXPECT_EQ(monitor.volume("S")->status, VolumeStatus::stalled);
    EXPECT_EQ(monitor.volume("F")->status, VolumeStatus::failed);
    EXPECT_EQ(monitor.volume("F")->statusDetail, "Input/output error");
    EXPECT_EQ(monitor.volume("H")->status, VolumeStatus::active);
    EXPECT_LE(pool.threadCount(), 3u + 4u); // one job per volume, plus idle workers
}

} // namespace
} // namespace vornix
