// The ping write against real file systems made by the test (tmpfs, a loop-mounted ext4 image
// and the tests' FUSE file system, in a private mount namespace), and the engine on the real Qt
// event loop and worker threads for a minute of real time beside a drive whose statfs hangs for
// good and one whose writes fail. Needs root; skips otherwise.

#include "engine/keep_alive_engine.h"
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
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

namespace vornix::linux_platform {
namespace {

using namespace vornix::testing;
TEST(PingWrite, WritesOnlyAFileOfItsOwnAndSaysWhyNot) {
    if (const auto why = enterPrivateMountNamespace(); !why.empty())
        GTEST_SKIP() << why;
    ScratchDir scratch;
    const auto refused = [](const char* what) {
        return PingResult::failure(std::string("ping path is ") + what);
    };
    struct Row {
        const char* medium; // "tmpfs", "ext4", or a command to the FUSE file system
        const char* shell;  // run in the mount root; "data" must keep "precious"
        PingResult expected;
        const char* tail = ""; // what follows the stamp after a success
    };
    const Row rows[] = {
        {"tmpfs", "", PingResult::success()}, // created 0644 although the umask is 0
        {"ext4", "printf '####################tail' > .vornix_ping", PingResult::success(), "tail"},
        {"tmpfs", "ln data .vornix_ping", refused("a hard link to another file")},
        {"tmpfs", "ln -s data .vornix_ping", refused("a symbolic link")},
        {"tmpfs", "mkdir .vornix_ping", refused("a directory")},
        {"tmpfs", "mkfifo .vornix_ping", refused("a named pipe")},
        {"tmpfs", "mknod .vornix_ping c 1 3", refused("a device")},
        {"tmpfs", "touch .vornix_ping && mount --bind ../elsewhere .vornix_ping",
         refused("on another file system")},
        {"ext4", "touch .vornix_ping && chattr +i .vornix_ping",
         PingResult::failure("Operation not permitted")},
        {"tmpfs", "mount -o remount,ro .", PingResult::readOnly()},
        {"tmpfs", "umount -l \"$PWD\"", PingResult::volumeGone()},
        {"fsync-eopnotsupp", "", PingResult::success()}, // the whole file system is synced
        {"fsync-eio", "", PingResult::failure("Input/output error")},
        {"write-eio", "", PingResult::failure("Input/output error")},
        {"write-enospc", "", PingResult::failure("No space left on device")},
    };
    writeFile(scratch / "elsewhere", "precious");
    const mode_t oldMask = ::umask(0);
    int index = 0;
    for (const auto& [medium, shell, expected, tail] : rows) {
        SCOPED_TRACE(std::string(medium) + ": " + shell);
        const auto dir = scratch.subdir("v" + std::to_string(index++)),
                   file = dir + "/.vornix_ping";
        std::unique_ptr<TestFuse> fuse;
        if (medium == std::string("tmpfs") || medium == std::string("ext4")) {
            ASSERT_EQ(*medium == 't' ? mountTmpfs(dir) : mountExt4Image(dir + ".img", dir), "");
            writeFile(dir + "/data", "precious");
            ASSERT_EQ(std::system(("cd " + dir + "; " + shell).c_str()), 0);
        } else {
            fuse = std::make_unique<TestFuse>(dir);
            ASSERT_TRUE(fuse->error().empty() && fuse->command(medium)) << fuse->error();
        }
        EXPECT_EQ(writeAndFlush(file), expected) << writeAndFlush(file).message;
        struct stat st {};
        if (expected == PingResult::success()) {
            const auto content = readFile(file);
            EXPECT_TRUE(std::regex_match(content.substr(0, 20),
                                         std::regex(R"(20\d\d-\d\d-\d\dT\d\d:\d\d:\d\dZ)")));
            EXPECT_EQ(content.substr(20), tail);
            EXPECT_TRUE(*shell || (::stat(file.c_str(), &st) == 0 && (st.st_mode & 0777) == 0644));
        }
        EXPECT_TRUE(::stat((dir + "/data").c_str(), &st) != 0 ||
                    readFile(dir + "/data") == "precious");
        if (!fuse)
            unmount(dir, true);
    }
    ::umask(oldMask);
    EXPECT_EQ(readFile(scratch / "elsewhere"), "precious");
}

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

    QtMainQueue queue;
    SystemWallClock clock;
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

    LinuxPingFileSystem fs;
    WorkerPool pool(queue);
    {
        KeepAliveEngine engine(monitor, log, {queue, clock, pool, fs});
        engine.start(1);
        spinUntil([] { return false; }, 60'000); // a minute of the real event loop
        EXPECT_EQ(stuck.status().value_or(TestFuse::Status{}).blocked, 1); // however many pings
    }
    finished.set_value();
    watchdog.get();

    // A loop that waited on the hung drive would be late by the watchdog's 90 s; a busy machine
    // makes a healthy one late by a few hundred milliseconds at most.
    EXPECT_LT(worstLateness, std::chrono::seconds(2));
    ASSERT_GE(healthyPings.size(), 55u);
    for (std::size_t i = 1; i < healthyPings.size(); ++i)
        EXPECT_LT(healthyPings[i] - healthyPings[i - 1], std::chrono::milliseconds(1500)) << i;
    EXPECT_EQ(monitor.volume("S")->status, VolumeStatus::stalled);
    EXPECT_EQ(monitor.volume("F")->status, VolumeStatus::failed);
    EXPECT_EQ(monitor.volume("F")->statusDetail, "Input/output error");
    EXPECT_LE(pool.threadCount(), 3u + 4u); // one job per volume, plus idle workers
}

} // namespace
} // namespace vornix::linux_platform
