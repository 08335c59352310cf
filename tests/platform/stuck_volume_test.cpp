// The engine with real worker threads and real file systems: one drive whose writes hang in the
// kernel (the tests' FUSE file system), one healthy tmpfs. Time is virtual; the writes are not.

#include "engine/vornix.h"
#include "engine/worker_pool.h"
#include "platform/linux/ping_file_system.h"

#include "log_fakes.h"
#include "scratch_mounts.h"
#include "virtual_time.h"
#include "volume_fakes.h"
#include "wait_for.h"

#include <gtest/gtest.h>

namespace vornix {
namespace {

using namespace vornix::testing;

TEST(StuckDrive, OtherDrivesStayActiveAndThreadsStayBounded) {
    if (const auto why = enterPrivateMountNamespace(); !why.empty())
        GTEST_SKIP() << why;
    ScratchDir scratch;
    const auto healthyDir = scratch.subdir("healthy");
    ASSERT_EQ(mountTmpfs(healthyDir), "");
    TestFuse fuse(scratch.subdir("stuck"));
    if (!fuse.error().empty())
        GTEST_SKIP() << fuse.error();
    ASSERT_TRUE(fuse.command("block-writes"));

    VirtualTime time;
    RecordingSystemLog systemLog;
    RecordingNotifier notifier;
    EventLog log(time, systemLog, notifier);
    FakeVolumeSystem volumeSystem;
    VolumeMonitor monitor(log, time, volumeSystem.ports());
    monitor.volumes = {
        WatchedVolume{
            .id = "S", .name = "Stuck", .isCurrentlyMounted = true, .mountPath = fuse.dir()},
        WatchedVolume{
            .id = "H", .name = "Healthy", .isCurrentlyMounted = true, .mountPath = healthyDir},
    };
    auto count = [&](LogEvent::Kind kind, const std::string& volume) {
        const auto prefix = std::string(label(kind)) + " \u2014 " + volume + " ";
        return static_cast<int>(
            std::count_if(systemLog.lines.begin(), systemLog.lines.end(),
                          [&](const auto& line) { return line.second.rfind(prefix, 0) == 0; }));
    };
    using Kind = LogEvent::Kind;
    const std::size_t threadsBefore = processThreads();
    constexpr std::size_t spares = 2;
    linux_platform::LinuxPingFileSystem fs;
    {
        WorkerPool pool(time, {.maxIdleWorkers = spares, .idleTimeout = std::chrono::hours(1)});
        Vornix engine(monitor, log, {time, time, pool, fs});
        engine.start(45);
        time.runPending();
        constexpr int ticks = 200;
        for (int tick = 1; tick <= ticks; ++tick) {
            SCOPED_TRACE(tick);
            // Real time passes for the healthy write; virtual time stands still meanwhile.
            ASSERT_TRUE(waitFor([&] {
                time.runPending();
                return count(Kind::pingSucceeded, "Healthy") == tick;
            }));
            EXPECT_EQ(monitor.volume("H")->status, VolumeStatus::active);
            time.advance(Vornix::stallTimeout);
            EXPECT_EQ(monitor.volume("S")->status, VolumeStatus::stalled);
            EXPECT_EQ(count(Kind::pingStalled, "Stuck"), tick);
            time.advance(45 - Vornix::stallTimeout);
        }
        const auto status = fuse.status();
        ASSERT_TRUE(status);
        EXPECT_EQ(status->blocked, 1); // one write in the kernel, however many pings
        EXPECT_LE(pool.threadCount(), 1 + spares);
        EXPECT_LE(processThreads(), threadsBefore + 1 + spares);

        // The drive answers at last: the pings that stalled ignore the success, the one that
        // joined the write within its timeout (this tick's) takes it.
        ASSERT_TRUE(fuse.command("release"));
        ASSERT_TRUE(waitFor([&] {
            time.runPending();
            return count(Kind::pingSucceeded, "Stuck") == 1;
        }));
        EXPECT_EQ(monitor.volume("S")->status, VolumeStatus::active);
        time.advance(Vornix::stallTimeout);
        EXPECT_EQ(count(Kind::pingStalled, "Stuck"), ticks);
        EXPECT_EQ(monitor.volume("S")->status, VolumeStatus::active);
    }
    EXPECT_EQ(readFile(fuse.dir() + "/.vornix_ping").size(), 20u);
}

} // namespace
} // namespace vornix
