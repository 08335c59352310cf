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

struct Recorded {
    Kind kind;
    std::string volume;
    std::string detail;
    bool operator==(const Recorded&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Recorded& r) {
    return out << label(r.kind) << " " << r.volume << " " << r.detail;
}

WatchedVolume mounted(const std::string& id, const std::string& name) {
    return WatchedVolume{
        .id = id, .name = name, .isCurrentlyMounted = true, .mountPath = "/media/user/" + name};
}

std::string pathOf(const std::string& name) {
    return "/media/user/" + name;
}

/// An engine on virtual time with scripted file system and hand-run workers.
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
    std::vector<Recorded> recorded; // every event, also beyond the log's capacity
    Subscription token = log.events.subscribe([this](const std::vector<LogEvent>& events) {
        if (!events.empty())
            recorded.push_back({events.front().kind, events.front().volumeName.value_or(""),
                                events.front().detail});
    });

    explicit Harness(std::vector<WatchedVolume> volumes) { monitor.volumes = std::move(volumes); }

    int count(Kind kind, const std::string& volume) const {
        int n = 0;
        for (const auto& r : recorded)
            n += r.kind == kind && r.volume == volume ? 1 : 0;
        return n;
    }
    WatchedVolume volume(const std::string& id) const { return *monitor.volume(id); }
    /// Every waiting write returns and its result is handled.
    void completeWrites() {
        workers.runAll();
        time.runPending();
    }
};

TEST(Engine, EveryStartPassesAtOnceButNotInsideTheCallAndLeavesOneTimer) {
    Harness h({mounted("A", "Alpha"), mounted("B", "Beta")});
    auto passes = [&] { return h.count(Kind::pingSucceeded, "Alpha"); };

    h.engine->start(45);
    EXPECT_TRUE(h.engine->isRunning());
    EXPECT_EQ(h.workers.pending(), 0u);
    h.time.runPending();
    EXPECT_EQ(h.workers.pending(), 2u);
    h.completeWrites();
    EXPECT_EQ(passes(), 1);
    EXPECT_EQ(h.count(Kind::pingSucceeded, "Beta"), 1);

    h.engine->start(45); // a restart passes at once too
    h.time.runPending();
    h.completeWrites();
    EXPECT_EQ(passes(), 2);

    h.engine->start(45);
    h.engine->start(45);
    h.time.runPending();
    h.completeWrites();
    EXPECT_EQ(passes(), 3);
    h.time.advance(44.9);
    h.completeWrites();
    EXPECT_EQ(passes(), 3);
    h.time.advance(0.1); // one timer left, not two
    h.completeWrites();
    EXPECT_EQ(passes(), 4);
    EXPECT_EQ(h.fs.writes().size(), 8u);
}

TEST(Engine, StopAndSetInterval) {
    Harness h({mounted("A", "Alpha")});
    auto passes = [&] {
        h.completeWrites();
        return h.count(Kind::pingSucceeded, "Alpha");
    };
    EXPECT_EQ(h.engine->interval(), 45.0);
    h.engine->stop(); // nothing to stop
    h.engine->setInterval(30);
    EXPECT_FALSE(h.engine->isRunning());
    EXPECT_EQ(h.engine->interval(), 30.0);
    h.time.advance(600);
    EXPECT_EQ(passes(), 0);

    h.engine->start(120); // its own argument, not the stored interval
    EXPECT_EQ(h.engine->interval(), 120.0);
    h.time.runPending();
    EXPECT_EQ(passes(), 1);
    h.time.advance(60);
    h.engine->setInterval(60); // a pass at once, then every 60 s
    h.time.runPending();
    EXPECT_EQ(passes(), 2);
    h.time.advance(59.9);
    EXPECT_EQ(passes(), 2);
    h.time.advance(0.1);
    EXPECT_EQ(passes(), 3);

    h.engine->stop();
    h.engine->stop();
    EXPECT_FALSE(h.engine->isRunning());
    h.time.advance(600);
    EXPECT_EQ(passes(), 3);
    h.engine->start(45);
    h.time.runPending();
    EXPECT_EQ(passes(), 4);
}

TEST(Engine, PingsEveryWatchedMountedVolumeWithAMountPathWhateverItsStatus) {
    auto unwatched = mounted("B", "Unwatched");
    unwatched.isWatched = false;
    auto away = mounted("C", "Away");
    away.isCurrentlyMounted = false;
    away.mountPath.reset();
    auto pathless = mounted("D", "Pathless");
    pathless.mountPath.reset();
    auto stalled = mounted("E", "Stalled");
    stalled.status = VolumeStatus::stalled;
    auto full = mounted("F", "Full");
    full.status = VolumeStatus::full;
    Harness h({mounted("A", "Alpha"), unwatched, away, pathless, stalled, full});

    h.engine->start(45);
    h.time.runPending();
    h.workers.runAll();
    EXPECT_EQ(h.fs.writes(), (std::vector<std::string>{pathOf("Alpha") + "/.vornix_ping",
                                                       pathOf("Stalled") + "/.vornix_ping",
                                                       pathOf("Full") + "/.vornix_ping"}));
    for (const auto* skipped : {"Unwatched", "Away", "Pathless"})
        EXPECT_EQ(h.fs.freeQueries(pathOf(skipped)), 0) << skipped;
    h.time.advance(8);
    for (const auto& r : h.recorded)
        EXPECT_TRUE(r.volume == "Alpha" || r.volume == "Stalled" || r.volume == "Full") << r;
    EXPECT_EQ(h.volume("B").status, VolumeStatus::idle);
}

TEST(Engine, FreeSpaceFloorDecidesWhetherToWrite) {
    struct Row {
        std::optional<std::int64_t> free;
        bool writes;
    };
    const Row rows[] = {
        {52'428'800, true},   {52'428'799, false}, {0, false},
        {std::nullopt, true}, {INT64_MAX, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.free ? std::to_string(*row.free) : "unknown");
        Harness h({mounted("A", "Alpha")});
        const auto before = h.time.now();
        h.monitor.markStatus("A", VolumeStatus::active, before);
        h.fs.setFreeBytes(pathOf("Alpha"), row.free);
        h.time.advance(1);
        h.recorded.clear();

        h.engine->start(45);
        h.time.runPending();
        EXPECT_EQ(h.workers.pending(), row.writes ? 1u : 0u);
        h.time.advance(8); // a write in flight stalls; a skipped one has no stall timer
        if (row.writes) {
            EXPECT_EQ(h.recorded, (std::vector<Recorded>{{Kind::pingStalled, "Alpha", ""}}));
            EXPECT_EQ(h.volume("A").status, VolumeStatus::stalled);
        } else {
            EXPECT_EQ(h.recorded, (std::vector<Recorded>{{Kind::volumeFull, "Alpha", ""}}));
            EXPECT_EQ(h.volume("A").status, VolumeStatus::full);
            EXPECT_EQ(h.volume("A").lastPingAt, before);
        }
    }
}

TEST(Engine, ResultsAreAppliedByResultAndTimeliness) {
    struct Row {
        const char* name;
        PingResult result;
        bool late;
        VolumeStatus status;
        bool newPingTime;
        std::vector<Recorded> events; // after the stall report, if any
        bool switchedOff = false;     // right after the write went out
    };
    using S = VolumeStatus;
    const auto io = PingResult::failure("Input/output error");
    const std::vector<Recorded> none, succeeded{{Kind::pingSucceeded, "Alpha", ""}},
        readOnly{{Kind::volumeReadOnly, "Alpha", ""}},
        failed{{Kind::pingFailed, "Alpha", "Input/output error"}};
    const Row rows[] = {
        {"timely success", PingResult::success(), false, S::active, true, succeeded},
        {"late success", PingResult::success(), true, S::stalled, false, none},
        {"timely read-only", PingResult::readOnly(), false, S::readOnly, false, readOnly},
        {"late read-only", PingResult::readOnly(), true, S::readOnly, false, readOnly},
        {"timely gone", PingResult::volumeGone(), false, S::active, false, none},
        {"late gone", PingResult::volumeGone(), true, S::stalled, false, none},
        {"timely failure", io, false, S::active, false, failed},
        {"late failure", io, true, S::stalled, false, failed},
        {"timely success, switched off", PingResult::success(), false, S::active, true, succeeded,
         true},
        {"late read-only, switched off", PingResult::readOnly(), true, S::readOnly, false, readOnly,
         true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Harness h({mounted("A", "Alpha")});
        const auto before = h.time.now();
        h.monitor.markStatus("A", VolumeStatus::active, before);
        h.fs.setResult(pathOf("Alpha"), row.result);
        h.time.advance(1);
        h.engine->start(45);
        h.time.runPending();
        if (row.switchedOff)
            h.engine->stop(); // what is in flight still finishes

        h.time.advance(7.999);
        EXPECT_EQ(h.volume("A").status, VolumeStatus::active);
        if (row.late) {
            h.time.advance(0.001);
            EXPECT_EQ(h.volume("A").status, VolumeStatus::stalled);
        }
        const auto pingStalled = std::vector<Recorded>{{Kind::pingStalled, "Alpha", ""}};
        EXPECT_EQ(h.recorded, row.late ? pingStalled : std::vector<Recorded>{});
        h.recorded.clear();

        h.completeWrites();
        EXPECT_EQ(h.volume("A").status, row.status);
        EXPECT_EQ(h.volume("A").lastPingAt, row.newPingTime ? h.time.now() : before);
        EXPECT_EQ(h.recorded, row.events);
        h.time.advance(row.switchedOff ? 600 : 30); // a handled ping leaves nothing behind
        EXPECT_EQ(h.recorded, row.events);
        EXPECT_EQ(h.workers.pending(), 0u);
    }
}

TEST(Engine, StalledVolumeReturnsToActiveOnlyWithATimelySuccess) {
    Harness h({mounted("A", "Alpha")});
    h.engine->start(45);
    h.time.runPending();
    h.time.advance(8);
    h.completeWrites(); // late success: ignored
    EXPECT_EQ(h.volume("A").status, VolumeStatus::stalled);

    h.time.advance(37); // the next tick
    h.time.advance(2);
    h.completeWrites();
    EXPECT_EQ(h.volume("A").status, VolumeStatus::active);
    EXPECT_EQ(h.volume("A").lastPingAt, h.time.now());
    EXPECT_EQ(h.count(Kind::pingSucceeded, "Alpha"), 1);
}

TEST(Engine, StuckVolumeHoldsOneWriteStallsEveryIntervalAndSparesTheOthers) {
    Harness h({mounted("S", "Stuck"), mounted("H", "Healthy")});
    h.engine->start(45);
    h.time.runPending();
    constexpr int ticks = 100;
    for (int tick = 1; tick <= ticks; ++tick) {
        SCOPED_TRACE(tick);
        ASSERT_EQ(h.workers.pending(), 2u); // the stuck write and this tick's healthy one
        h.workers.run(1);
        h.time.runPending();
        EXPECT_EQ(h.volume("H").status, VolumeStatus::active);
        EXPECT_EQ(h.count(Kind::pingSucceeded, "Healthy"), tick);
        h.time.advance(8);
        EXPECT_EQ(h.volume("S").status, VolumeStatus::stalled);
        EXPECT_EQ(h.count(Kind::pingStalled, "Stuck"), tick);
        EXPECT_EQ(h.time.pendingCount(), 1u); // only the next tick waits
        h.time.advance(37);
    }
    // Tick 101 has joined the stuck write too; the free space was asked only before writing.
    EXPECT_EQ(h.fs.freeQueries(pathOf("Stuck")), 1);
    EXPECT_EQ(h.count(Kind::pingStalled, "Healthy"), 0);

    // The write returns at last: every ping that waited for it gets its own handling.
    h.fs.setResult(pathOf("Stuck"), PingResult::readOnly());
    h.workers.run(0);
    h.time.runPending();
    EXPECT_EQ(h.volume("S").status, VolumeStatus::readOnly);
    EXPECT_EQ(h.count(Kind::volumeReadOnly, "Stuck"), ticks + 1);
    EXPECT_EQ(h.fs.writeCount(pathOf("Stuck")), 1);
    h.time.advance(8); // the joined ping's stall timer went with the result
    EXPECT_EQ(h.count(Kind::pingStalled, "Stuck"), ticks);

    h.time.advance(37); // and the next tick writes afresh
    h.fs.setResult(pathOf("Stuck"), PingResult::success());
    h.completeWrites();
    EXPECT_EQ(h.fs.freeQueries(pathOf("Stuck")), 2);
    EXPECT_EQ(h.volume("S").status, VolumeStatus::active);
}

TEST(Engine, DrivePluggedInAgainWhileItsOldWriteHangsGetsAWriteOfItsOwn) {
    auto drive = mounted("A", "Alpha");
    drive.bsdName = "sdb1";
    Harness h({drive});
    h.engine->start(45);
    h.time.runPending();
    h.time.advance(45); // joins the hanging write
    EXPECT_EQ(h.workers.pending(), 1u);

    drive.bsdName = "sdc1"; // same volume, same mount point, new device
    h.monitor.volumes = {drive};
    h.time.advance(45);
    ASSERT_EQ(h.workers.pending(), 2u);
    h.workers.run(1);
    h.time.runPending();
    EXPECT_EQ(h.volume("A").status, VolumeStatus::active);
}

TEST(Engine, NothingHappensOnceTheEngineIsGone) {
    struct Row {
        const char* name;
        std::function<void(Harness&)> beforeDestruction;
    };
    const Row rows[] = {
        {"first tick pending", [](Harness&) {}},
        {"write in flight", [](Harness& h) { h.time.runPending(); }},
        {"write stalled",
         [](Harness& h) {
             h.time.runPending();
             h.time.advance(8);
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Harness h({mounted("A", "Alpha")});
        h.fs.setResult(pathOf("Alpha"), PingResult::readOnly());
        h.engine->start(45);
        row.beforeDestruction(h);
        const auto volumes = h.monitor.volumes.get();
        const auto events = h.recorded.size();
        const auto writesAsked = h.workers.pending();
        h.engine.reset();
        h.completeWrites(); // a write already dispatched still runs
        h.time.advance(600);
        EXPECT_EQ(h.fs.writes().size(), writesAsked);
        EXPECT_EQ(h.monitor.volumes.get(), volumes);
        EXPECT_EQ(h.recorded.size(), events);
    }
}

TEST(Engine, DestroyedWhileHandlingAJoinedWriteStopsAtOnce) {
    Harness h({mounted("A", "Alpha")});
    h.fs.setResult(pathOf("Alpha"), PingResult::readOnly());
    h.engine->start(45);
    h.time.runPending();
    h.time.advance(45 * 3); // three pings wait on the first write
    Subscription dropEngine = h.log.events.subscribe([&](const std::vector<LogEvent>& events) {
        if (!events.empty() && events.front().kind == Kind::volumeReadOnly)
            h.engine.reset();
    });
    h.completeWrites();
    EXPECT_EQ(h.count(Kind::volumeReadOnly, "Alpha"), 1);
    EXPECT_EQ(h.engine, nullptr);
}

} // namespace
} // namespace vornix
