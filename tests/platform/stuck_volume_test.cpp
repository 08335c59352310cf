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

#include <QTimer>
#include <future>
#include <gtest/gtest.h>

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
    ASSERT_TRUE(stuck.command("block-statfs") && failing.command("write-eio")) << stuck.error();
    // Were statfs to run on this thread, the loop would freeze for good: a watchdog lets the
    // drive answer after a while, so that the test fails instead of hanging.
    std::promise<void> finished;
    auto watchdog = std::async(std::launch::async, [&, done = finished.get_future()] {
        if (done.wait_for(std::chrono::seconds(90)) == std::future_status::timeout)
            stuck.command("release");
    });

    linux_platform::QtMainQueue queue;
    linux_platform::SystemWallClock clock;
    RecordingSystemLog systemLog;
    RecordingNotifier notifier;
    EventLog log(clock, systemLog, notifier);
    FakeVolumeSystem volumeSystem;
    VolumeMonitor monitor(log, clock, volumeSystem.ports());
    monitor.volumes = {{.id = "S", .isCurrentlyMounted = true, .mountPath = stuck.dir()},
                       {.id = "F", .isCurrentlyMounted = true, .mountPath = failing.dir()},
                       {.id = "H", .isCurrentlyMounted = true, .mountPath = scratch / "healthy"}};
    // A probe due every 10 ms notes how late it runs and when the healthy drive was pinged.
    std::vector<Steady::time_point> healthyPings;
    std::optional<WallTime> lastPing;
    Steady::duration worstLateness{};
    auto due = Steady::now();
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        worstLateness = std::max(worstLateness, Steady::now() - due);
        due = Steady::now() + std::chrono::milliseconds(10);
        if (const auto ping = monitor.volume("H")->lastPingAt;
            ping != std::exchange(lastPing, ping))
            healthyPings.push_back(Steady::now());
    });
    probe.start(10);

    linux_platform::LinuxPingFileSystem fs;
    WorkerPool pool(queue);
    {
        Vornix engine(monitor, log, {queue, clock, pool, fs});
        engine.start(1);
        spinUntil([] { return false; }, 60'000); // a minute of the real event loop
        EXPECT_EQ(stuck.status().value_or(TestFuse::Status{}).blocked, 1); // however many pings
    }
    finished.set_value();
    watchdog.get();

    EXPECT_LT(worstLateness, std::chrono::milliseconds(250));
    ASSERT_GE(healthyPings.size(), 55u);
    for (std::size_t i = 1; i < healthyPings.size(); ++i)
        EXPECT_LT(healthyPings[i] - healthyPings[i - 1], std::chrono::milliseconds(1500)) << i;
    EXPECT_EQ(monitor.volume("S")->status, VolumeStatus::stalled);
    EXPECT_EQ(monitor.volume("F")->status, VolumeStatus::failed);
    EXPECT_EQ(monitor.volume("F")->statusDetail, "Input/output error");
    EXPECT_LE(pool.threadCount(), 3u + 4u); // one job per volume, plus idle workers
}

} // namespace
} // namespace vornix
