#include "engine/vornix.h"

#include "engine_fakes.h"
#include "log_fakes.h"
#include "virtual_time.h"
#include "volume_fakes.h"

#include <gtest/gtest.h>

#include <memory>

namespace vornix {
namespace {

using Kind = LogEvent::Kind;
using S = VolumeStatus;

/// An event of volume "A" as the harness notes it.
std::string ev(Kind kind, const std::string& detail = "") {
    return std::string(label(kind)) + " A " + detail;
}

WatchedVolume mounted(const std::string& name) {
    return {.id = name, .name = name, .isCurrentlyMounted = true, .mountPath = "/media/" + name};
}

/// An engine on virtual time with a scripted file system and hand-run workers.
struct Harness {
    testing::VirtualTime time;
    testing::RecordingSystemLog systemLog;
    testing::RecordingNotifier notifier;
    EventLog log{time, systemLog, notifier};
    testing::FakeVolumeSystem volumeSystem;
    VolumeMonitor monitor{log, time, volumeSystem.ports()};
    testing::FakePingFileSystem fs;
    testing::ManualWorkerQueue workers{time};
    std::unique_ptr<Vornix> engine =
        std::make_unique<Vornix>(monitor, log, EnginePorts{time, time, workers, fs});
    std::vector<std::string> events; // "<label> <volume> <detail>", all of them, oldest first
    Subscription token = log.events.subscribe([this](const std::vector<LogEvent>& list) {
        if (!list.empty())
            events.push_back(std::string(label(list.front().kind)) + " " +
                             list.front().volumeName.value_or("") + " " + list.front().detail);
    });

    explicit Harness(std::vector<WatchedVolume> volumes) { monitor.volumes = std::move(volumes); }
    int count(Kind kind, const std::string& volume) const {
        const auto prefix = std::string(label(kind)) + " " + volume + " ";
        return static_cast<int>(std::count_if(
            events.begin(), events.end(), [&](const auto& e) { return e.rfind(prefix, 0) == 0; }));
    }
    WatchedVolume volume(const std::string& id) const { return *monitor.volume(id); }
    void completeJobs() {
        workers.runAll();
        time.runPending();
    }
};

TEST(Engine, StartsAtOnceNeverInsideTheCallKeepsOneTimerAndStops) {
    Harness h({mounted("A")});
    auto passes = [&] {
        h.completeJobs();
        return h.count(Kind::pingSucceeded, "A");
    };
    h.engine->setInterval(30); // stopped: stored only
    h.time.advance(600);
    EXPECT_EQ(passes(), 0);
    EXPECT_EQ(h.engine->interval(), 30.0);
    h.engine->start(45);
    h.engine->start(45);
    EXPECT_EQ(h.workers.pending(), 0u);
    h.time.runPending();
    EXPECT_EQ(passes(), 1);
    h.time.advance(44.9);
    EXPECT_EQ(passes(), 1);
    h.time.advance(0.1); // one timer left, not two
    EXPECT_EQ(passes(), 2);
    h.engine->setInterval(60); // running: a pass at once, then every 60 s
    h.time.runPending();
    EXPECT_EQ(passes(), 3);
    h.time.advance(60);
    EXPECT_EQ(passes(), 4);
    h.engine->stop();
    EXPECT_FALSE(h.engine->isRunning());
    h.time.advance(600);
    EXPECT_EQ(passes(), 4);
}

TEST(Engine, PingsOnlyWatchedMountedVolumesWithAMountPath) {
    auto unwatched = mounted("U"), away = mounted("W"), pathless = mounted("P");
    unwatched.isWatched = false;
    away.isCurrentlyMounted = false;
    pathless.mountPath.reset();
    Harness h({mounted("A"), unwatched, away, pathless});
    h.engine->start(45);
    h.time.runPending();
    h.completeJobs();
    EXPECT_EQ(h.fs.writes(), std::vector<std::string>{"/media/A/.vornix_ping"});
}

TEST(Engine, OutcomesBecomeStatusAndEventsAndASuccessInTimeRestoresActive) {
    struct Row {
        const char* name;
        std::optional<std::int64_t> free;
        PingResult result;
        bool late;
        S status;
        std::vector<std::string> events; // after any stall report
    };
    const auto eio = PingResult::failure("Input/output error");
    const auto hardLink = PingResult::failure("ping path is a hard link to another file");
    const Row rows[] = {
        {"success", {}, PingResult::success(), false, S::active, {ev(Kind::pingSucceeded)}},
        {"late success", {}, PingResult::success(), true, S::stalled, {}},
        {"read-only", {}, PingResult::readOnly(), true, S::readOnly, {ev(Kind::volumeReadOnly)}},
        {"gone", {}, PingResult::volumeGone(), false, S::idle, {}},
        {"EIO", {}, eio, false, S::failed, {ev(Kind::pingFailed, eio.message)}},
        {"late EIO", {}, eio, true, S::failed, {ev(Kind::pingFailed, eio.message)}},
        {"refused", {}, hardLink, false, S::failed, {ev(Kind::pingFailed, hardLink.message)}},
        {"at the floor",
         52'428'800,
         PingResult::success(),
         false,
         S::active,
         {ev(Kind::pingSucceeded)}},
        {"below the floor",
         52'428'799,
         PingResult::success(),
         false,
         S::full,
         {ev(Kind::volumeFull)}},
        {"late, nearly full", 0, PingResult::success(), true, S::full, {ev(Kind::volumeFull)}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Harness h({mounted("A")});
        if (row.free)
            h.fs.setFreeBytes("/media/A", *row.free);
        h.fs.setResult("/media/A", row.result);
        h.engine->start(45);
        h.time.advance(row.late ? 8 : 7.999);
        EXPECT_EQ(h.volume("A").status, row.late ? S::stalled : S::idle);
        h.events.clear();
        h.completeJobs();
        EXPECT_EQ(h.fs.writes().size(), row.status == S::full ? 0u : 1u);
        EXPECT_EQ(h.volume("A").status, row.status);
        EXPECT_EQ(h.volume("A").statusDetail, row.status == S::failed ? row.result.message : "");
        EXPECT_EQ(h.events, row.events);
        EXPECT_EQ(h.volume("A").lastPingAt.has_value(), row.status == S::active);
        h.fs.setFreeBytes("/media/A", INT64_MAX);
        h.fs.setResult("/media/A", PingResult::success());
        h.time.advance(40); // the next tick
        h.completeJobs();
        EXPECT_EQ(h.volume("A").status, S::active);
        EXPECT_EQ(h.volume("A").statusDetail, "");
    }
}

TEST(Engine, AVolumeHungInStatfsStallsAloneForHoursAndHoldsOneJob) {
    Harness h({mounted("Stuck"), mounted("Healthy")});
    h.engine->start(45);
    constexpr int ticks = 2000;
    for (int tick = 1; tick <= ticks; ++tick) {
        h.time.runPending();
        ASSERT_EQ(h.workers.pending(), 2u); // the hung job and this tick's healthy one
        h.workers.run(1);
        h.time.runPending();
        ASSERT_EQ(h.count(Kind::pingSucceeded, "Healthy"), tick);
        ASSERT_EQ(h.volume("Healthy").lastPingAt, h.time.now()); // the exact rhythm
        h.time.advance(8);
        ASSERT_EQ(h.volume("Stuck").status, S::stalled);
        ASSERT_EQ(h.count(Kind::pingStalled, "Stuck"), tick);
        ASSERT_EQ(h.time.pendingCount(), 1u); // only the next tick waits
        h.time.advance(37);
    }
    // The call returns at last: every ping that waited gets its own handling, once.
    h.fs.setResult("/media/Stuck", PingResult::readOnly());
    h.workers.run(0);
    h.time.runPending();
    EXPECT_EQ(h.count(Kind::volumeReadOnly, "Stuck"), ticks + 1);
    EXPECT_EQ(h.count(Kind::pingStalled, "Stuck"), ticks);
    EXPECT_EQ(h.fs.writes().size(), ticks + 1u);
}

TEST(Engine, DrivePluggedInAgainWhileItsOldJobHangsGetsAJobOfItsOwn) {
    auto drive = mounted("A");
    drive.bsdName = "sdb1";
    Harness h({drive});
    h.engine->start(45);
    h.time.advance(45); // joins the hanging job
    EXPECT_EQ(h.workers.pending(), 1u);
    drive.bsdName = "sdc1"; // same volume, same mount point, new device
    h.monitor.volumes = {drive};
    h.time.advance(45);
    ASSERT_EQ(h.workers.pending(), 2u);
    h.workers.run(1);
    h.time.runPending();
    EXPECT_EQ(h.volume("A").status, S::active);
}

TEST(Engine, NothingHappensOnceTheEngineIsGoneEvenMidHandling) {
    for (const double before : {-1.0, 0.0, 8.0, 3 * 45.0}) { // < 0: first tick still pending
        SCOPED_TRACE(before);
        Harness h({mounted("A")});
        h.fs.setResult("/media/A", PingResult::readOnly());
        h.engine->start(45);
        if (before >= 0)
            h.time.advance(before);
        const bool joined = before > 45; // several pings wait: dropped by the first handled
        Subscription drop = h.log.events.subscribe([&](const std::vector<LogEvent>& list) {
            if (!list.empty() && list.front().kind == Kind::volumeReadOnly)
                h.engine.reset();
        });
        const auto events = h.events.size();
        if (!joined)
            h.engine.reset();
        h.completeJobs(); // a job already dispatched still runs
        h.time.advance(600);
        EXPECT_EQ(h.events.size(), events + (joined ? 1 : 0));
        EXPECT_EQ(h.fs.writes().size(), before >= 0 ? 1u : 0u);
    }
}

} // namespace
} // namespace vornix
