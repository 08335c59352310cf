#include "app/drive_trouble_notices.h"
#include "engine/idle_inhibition.h"
#include "engine/keep_alive_engine.h"
#include "engine/worker_pool.h"

#include "engine_fakes.h"
#include "log_fakes.h"
#include "power_fakes.h"
#include "virtual_time.h"
#include "volume_fakes.h"
#include "wait_for.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <numeric>
#include <ranges>
#include <thread>

namespace vornix {
namespace {

using Kind = LogEvent::Kind;
using S = VolumeStatus;
using testing::waitFor;
using namespace std::chrono_literals;

WatchedVolume mounted(const std::string& id) {
    return {.id = id, .name = id, .isCurrentlyMounted = true, .mountPath = "/media/" + id};
}

/// The system-log line of an event of volume `name`.
std::string line(Kind kind, const std::string& name = "A", const std::string& detail = "") {
    return std::string(label(kind)) + " \u2014 " + name + " " + detail;
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
    testing::FakeDeviceCounters counters;
    testing::ManualWorkerQueue workers{time};
    testing::FakeDrivePower drives; // asked only for volumes with a device number
    std::unique_ptr<KeepAliveEngine> engine = std::make_unique<KeepAliveEngine>(
        monitor, log, EnginePorts{time, time, workers, fs, counters, &drives});

    explicit Harness(std::vector<WatchedVolume> volumes) { monitor.volumes = std::move(volumes); }
    long count(Kind kind, const std::string& name) const {
        return std::ranges::count(systemLog.lines | std::views::values, line(kind, name));
    }
    WatchedVolume volume(const std::string& id) const { return *monitor.volume(id); }
    void completeJobs() {
        workers.runAll();
        time.runPending();
    }
};

TEST(Engine, PingsWatchedMountedVolumesAtOnceNeverInsideTheCallWithOneTimer) {
    auto unwatched = mounted("U"), away = mounted("W"), pathless = mounted("P");
    unwatched.isWatched = false;
    away.isCurrentlyMounted = false;
    pathless.mountPath.reset();
    Harness h({mounted("A"), unwatched, away, pathless});
    auto passes = [&](double seconds) {
        h.time.advance(seconds);
        h.completeJobs();
        return h.fs.writes().size(); // of A only
    };
    h.engine->setInterval(30); // stopped: stored only
    EXPECT_EQ(passes(600), 0u);
    EXPECT_EQ(h.engine->interval(), 30.0);
    h.engine->start(45);
    h.engine->start(45);
    EXPECT_EQ(h.workers.pending(), 0u);
    EXPECT_EQ(passes(44.9), 1u);
    EXPECT_EQ(passes(0.1), 2u); // one timer left, not two
    h.engine->setInterval(60);  // running: a pass at once, then every 60 s
    EXPECT_EQ(passes(0), 3u);
    EXPECT_EQ(passes(60), 4u);
    h.engine->stop();
    EXPECT_EQ(passes(600), 4u);
}

TEST(Engine, OutcomesBecomeStatusAndEventsAndASuccessInTimeRestoresActive) {
    const auto ok = PingResult::success(), readOnly = PingResult::readOnly(),
               eio = PingResult::failure("Input/output error");
    const struct {
        std::int64_t free;
        PingResult result;
        bool late;
        S status;
        std::vector<std::string> events; // after any stall report
    } rows[] = {
        {INT64_MAX, ok, false, S::active, {line(Kind::pingSucceeded)}},
        {INT64_MAX, ok, true, S::stalled, {}},
        {INT64_MAX, readOnly, true, S::readOnly, {line(Kind::volumeReadOnly)}},
        {INT64_MAX, PingResult::volumeGone(), false, S::idle, {}},
        {INT64_MAX, eio, false, S::failed, {line(Kind::pingFailed, "A", eio.message)}},
        {INT64_MAX, eio, true, S::failed, {line(Kind::pingFailed, "A", eio.message)}},
        {52'428'800, ok, false, S::active, {line(Kind::pingSucceeded)}},
        {52'428'799, ok, false, S::full, {line(Kind::volumeFull)}},
        {0, ok, true, S::full, {line(Kind::volumeFull)}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::Message() << row.free << " " << row.result.message << row.late);
        Harness h({mounted("A")});
        h.fs.script("/media/A", row.result, row.free);
        h.engine->start(45);
        h.time.advance(row.late ? 8 : 7.999); // statfs and write share the stall window
        h.engine->stop();                     // what is in flight is still handled
        EXPECT_EQ(h.volume("A").status, row.late ? S::stalled : S::idle);
        const auto before = h.systemLog.lines.size();
        h.completeJobs();
        EXPECT_EQ(h.fs.writes().size(), row.status == S::full ? 0u : 1u);
        const auto a = h.volume("A");
        EXPECT_EQ(a.status, row.status);
        EXPECT_EQ(a.statusDetail, row.status == S::failed ? row.result.message : "");
        EXPECT_EQ(a.lastPingAt.has_value(), row.status == S::active);
        const auto added = h.systemLog.lines | std::views::drop(before) | std::views::values;
        EXPECT_EQ(std::vector<std::string>(added.begin(), added.end()), row.events);
        h.fs.script("/media/A", ok);
        h.engine->start(45);
        h.time.runPending();
        h.completeJobs();
        EXPECT_EQ(h.volume("A").status, S::active);
        EXPECT_EQ(h.volume("A").statusDetail, "");
    }
}

TEST(Engine, PingsThatMoveNoIoCounterTwiceInARowDoNotReachTheDrive) {
    // A tick each: a write that moves the counters (m) or not (s), one whose write of the tick
    // before landed only after its flush (w), one on a device without counters (n); nearly full
    // (f), read-only (r), failed (x), stalled (t); or, before the next tick, the engine starting
    // again as on waking (R) or a remount (M). Then the status after each tick ("IASRFXN", in
    // the order of VolumeStatus) and the notices told: that the drive is not reached, except
    // where it comes from other trouble (told already, as "nearly full" here).
    using Row = std::tuple<const char*, const char*, std::size_t>;
    const PingResult results[] = {PingResult::success(), PingResult::readOnly(),
                                  PingResult::failure("EIO")};
    for (const auto& [pings, expected, notices] :
         {Row{"ss", "AN", 1}, Row{"sss", "ANN", 1}, Row{"sw", "AA", 0}, Row{"ssmsss", "ANAAAN", 1},
          Row{"frxts", "FRXSA", 1}, Row{"sfrxts", "AFRXSN", 1}, Row{"ssmmsss", "ANAAAAN", 2},
          Row{"sRsMs", "AAA", 0}, Row{"ssn", "ANA", 1}}) {
        SCOPED_TRACE(pings);
        auto a = mounted("A");
        a.deviceNumber = DeviceNumber{8, 17};
        Harness h({a});
        DriveTroubleNotices told(
            h.monitor, h.notifier, [&](auto& v) { return h.engine->reachingStreak(v); },
            [] { return 45.0; });
        std::string statuses;
        const auto startSoon = [&] { h.time.postDelayed(0.5, [&] { h.engine->start(45); }); };
        startSoon(); // the ticks come half a second into each 45-second step
        for (const char c : std::string_view(pings)) {
            if (c == 'R' || c == 'M') {
                c == 'R' ? startSoon() : h.monitor.markStatus("A", S::idle, std::nullopt);
                continue;
            }
            auto& [counters, moving] = h.counters.devices[*a.deviceNumber];
            moving = c == 'm';
            counters.writes += c == 'w'; // landing now, after the last ping's flush
            if (c == 'n')
                h.counters.devices.clear();
            h.fs.script("/media/A", results[(c == 'r') + 2 * (c == 'x')], c == 'f' ? 0 : INT64_MAX);
            h.time.advance(c == 't' ? 9 : 1); // the tick, and a stall
            h.completeJobs();
            statuses += "IASRFXN"[static_cast<int>(h.volume("A").status)];
            h.time.advance(c == 't' ? 36 : 44);
        }
        EXPECT_EQ(statuses, expected);
        EXPECT_EQ(std::ranges::count(h.log.events.get(), Kind::pingNotReaching, &LogEvent::kind),
                  std::ranges::count(statuses, 'N'));
        EXPECT_EQ(h.notifier.posted.size(), notices);
    }
}

TEST(Engine, ADriveFoundInStandbyAfterActiveInOneStretchFellAsleepUntilFoundActive) {
    // Per ping, what the drive answers (a active, s standby, u unknown); between pings R for a
    // switch off and on, I a new interval, S a ping that stalls (its drive answering active),
    // M an unmount seen by a tick and a mount again, X a ping whose drive answers (active) after
    // a switch off and on.
    const struct {
        const char* script;
        long fellAsleep;
        S status;
    } rows[] = {{"s", 0, S::active},       {"as", 1, S::fellAsleep},   {"ass", 1, S::fellAsleep},
                {"assa", 1, S::active},    {"asas", 2, S::fellAsleep}, {"aus", 1, S::fellAsleep},
                {"asu", 1, S::fellAsleep}, {"aIs", 1, S::fellAsleep},  {"aRs", 0, S::active},
                {"asRs", 1, S::active},    {"aSs", 0, S::active},      {"aMs", 0, S::active},
                {"aXs", 0, S::active}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.script);
        auto a = mounted("A");
        a.deviceNumber = DeviceNumber{8, 17};
        Harness h({a});
        h.engine->start(45);
        double toTick = 0; // a tick is due at once
        for (const char* c = row.script; *c; ++c) {
            const auto next = [&] { h.time.advance(std::exchange(toTick, 45)); };
            if (*c == 'R' || *c == 'I') {
                *c == 'R' ? (h.engine->stop(), h.engine->start(45)) : h.engine->setInterval(45);
                toTick = 0;
                continue;
            }
            if (*c == 'M') {
                h.monitor.markStatus("A", S::idle, std::nullopt); // (as the monitor would)
                auto list = h.monitor.volumes.get();
                list[0].isCurrentlyMounted = false;
                h.monitor.volumes = list;
                next();
                list[0].isCurrentlyMounted = true;
                h.monitor.volumes = list;
                continue;
            }
            h.drives.state = *c == 's'   ? DrivePowerState::standby
                             : *c == 'u' ? DrivePowerState::unknown
                                         : DrivePowerState::active;
            next();
            if (*c == 'S')
                h.time.advance(8), toTick -= 8;
            if (*c == 'X')
                h.engine->stop(), h.engine->start(45);
            h.completeJobs();
            ASSERT_EQ(h.volume("A").power->state, h.drives.state);
        }
        EXPECT_EQ(std::ranges::count(h.systemLog.lines | std::views::values,
                                     line(Kind::driveFellAsleep, "A", "pinged every 45 s")),
                  row.fellAsleep);
        EXPECT_EQ(h.volume("A").status, row.status);
        EXPECT_FALSE(h.volume("A").power->rotates);
    }
    // A job handed over before a stop and run after it asks nothing; nor does a volume without a
    // device number.
    auto a = mounted("A");
    a.deviceNumber = DeviceNumber{8, 17};
    Harness h({a, mounted("B")});
    h.engine->start(45);
    h.time.runPending();
    h.engine->stop();
    h.completeJobs();
    EXPECT_EQ(h.fs.writes().size(), 2u);
    EXPECT_EQ(h.drives.asks, 0);
    EXPECT_FALSE(h.volume("A").power);
}

TEST(Engine, AVolumeHungInStatfsStallsAloneForHoursAndHoldsOneJob) {
    auto stuck = mounted("Stuck");
    stuck.kernelName = "sdb1";
    Harness h({stuck, mounted("Healthy")});
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
    // Plugged in again under a new device name: a job of its own beside the hung one.
    stuck.kernelName = "sdc1";
    h.monitor.volumes = {stuck, mounted("Healthy")};
    h.time.advance(45);
    ASSERT_EQ(h.workers.pending(), 3u); // hung, healthy, the new drive's
    // The hung call returns at last: every ping that waited gets its own handling, once.
    h.fs.script("/media/Stuck", PingResult::readOnly());
    h.workers.run(0);
    h.time.runPending();
    EXPECT_EQ(h.count(Kind::volumeReadOnly, "Stuck"), ticks + 1);
    EXPECT_EQ(h.count(Kind::pingStalled, "Stuck"), ticks + 1);
}

TEST(Engine, NothingHappensOnceTheEngineIsGoneEvenMidHandling) {
    for (const double before : {-1.0, 0.0, 8.0, 3 * 45.0}) { // < 0: first tick still pending
        SCOPED_TRACE(before);
        Harness h({mounted("A")});
        h.fs.script("/media/A", PingResult::readOnly());
        h.engine->start(45);
        if (before >= 0)
            h.time.advance(before);
        const bool joined = before > 45; // several pings wait: dropped by the first handled
        Subscription drop = h.log.events.subscribe([&](const std::vector<LogEvent>& list) {
            if (!list.empty() && list.front().kind == Kind::volumeReadOnly)
                h.engine.reset();
        });
        const auto events = h.systemLog.lines.size();
        if (!joined)
            h.engine.reset();
        h.completeJobs(); // a job already dispatched still runs
        h.time.advance(600);
        EXPECT_EQ(h.systemLog.lines.size(), events + (joined ? 1 : 0));
        EXPECT_EQ(h.fs.writes().size(), before >= 0 ? 1u : 0u);
    }
}

// The pool with real threads: these wait on its workers with a deadline, never on a clock. Its
// grace period runs on the virtual main queue, so every thread start is the test's doing.

/// Jobs that block until the test opens the gate, then hand `then` to the main queue.
struct Gate {
    std::promise<void> opener;
    std::shared_future<void> gate = opener.get_future().share();
    std::atomic<int> started{0};
    WorkerJob job(Task then = nullptr) {
        return [this, gate = gate, then]() -> Task { return ++started, gate.wait(), then; };
    }
};

TEST(WorkerPool, AThreadPerGracePeriodOnlyForJobsThatWaitedAndNoneForQuickBursts) {
    testing::VirtualTime time;
    WorkerPool pool(time, {.minIdleWorkers = 2, .maxIdleWorkers = 4, .idleTimeout = 1h});
    Gate gate;
    int done = 0;
    std::vector<WorkerJob> burst;
    for (int i = 0; i < 10; ++i)
        burst.push_back(gate.job([&] { ++done; }));
    pool.submitAll(std::move(burst));
    EXPECT_EQ(pool.threadsStarted(), 2u); // the floor, at once
    for (std::size_t threads = 3; threads <= 10; ++threads) {
        ASSERT_TRUE(waitFor([&] { return gate.started == static_cast<int>(threads) - 1; }));
        time.advance(0.019);
        EXPECT_EQ(pool.threadsStarted(), threads - 1);
        time.advance(0.001);
        EXPECT_EQ(pool.threadsStarted(), threads);
    }
    ASSERT_TRUE(waitFor([&] { return gate.started == 10; }));
    time.advance(1);
    EXPECT_EQ(pool.threadsStarted(), 10u); // none waits any more
    // Every worker blocked: a healthy job waits out one grace period, no more.
    pool.submitAll({[&, main = std::this_thread::get_id()]() -> Task {
        return [&, main] { done += std::this_thread::get_id() == main ? 100 : 1000; };
    }});
    time.advance(0.019);
    EXPECT_EQ(pool.threadsStarted(), 10u);
    time.advance(0.001);
    ASSERT_TRUE(waitFor([&] { return time.runPending(), done == 100; }));
    gate.opener.set_value();
    ASSERT_TRUE(waitFor([&] { // idle workers beyond the cap end at once
        return time.runPending(), done == 110 && pool.threadCount() == 4 && pool.idleCount() == 4;
    }));
    std::vector<WorkerJob> quick(40, [&]() -> Task { return [&] { ++done; }; });
    pool.submitAll(std::move(quick));
    ASSERT_TRUE(waitFor([&] { return time.runPending(), done == 150; }));
    time.advance(1);
    EXPECT_EQ(pool.threadsStarted(), 11u);
    WorkerPool brief(time, {.minIdleWorkers = 0, .idleTimeout = 1ms});
    brief.submitAll({gate.job()});
    EXPECT_TRUE(waitFor([&] { return brief.threadCount() == 0; })); // and the others in time
}

TEST(WorkerPool, ResultsComeBackTogetherInOrderAndOutliveThePoolLateOnesDropped) {
    testing::VirtualTime time;
    auto pool = std::make_unique<WorkerPool>(
        time, WorkerPool::Options{.minIdleWorkers = 1, .maxIdleWorkers = 1, .grace = 1h});
    Gate first, last;
    std::vector<int> order;
    auto sentinel = std::make_shared<int>(0);
    const std::weak_ptr<int> watch = sentinel;
    std::vector<WorkerJob> jobs{first.job([&] { order.push_back(0); })};
    for (int i = 1; i < 20; ++i)
        jobs.push_back([&, i]() -> Task { return [&, i] { order.push_back(i); }; });
    jobs.push_back(last.job([sentinel] { ADD_FAILURE() << "posted after the pool"; }));
    jobs.push_back([]() -> Task { return ADD_FAILURE() << "started after the pool", nullptr; });
    sentinel.reset();
    pool->submitAll(std::move(jobs));
    ASSERT_TRUE(waitFor([&] { return first.started == 1; }));
    first.opener.set_value();
    ASSERT_TRUE(waitFor([&] { return last.started == 1; }));
    EXPECT_EQ(time.pendingCount(), 2u); // one hand-over for twenty results, and the grace check
    pool.reset();                       // returns at once, a worker still blocked
    last.opener.set_value();
    ASSERT_TRUE(waitFor([&] { return watch.expired(); })); // dropped with what it holds
    time.advance(2 * 3600);
    std::vector<int> expected(20);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(order, expected);
    EXPECT_EQ(time.pendingCount(), 0u);
}

TEST(IdleInhibition, WantsAtMostOneInhibitionAndReleasesOnlyWhatItWants) {
    // Calls on one manager (a = acquire, r = release, x = destroy); then the inhibitions asked
    // for, the releases, and whether one is still wanted.
    using Script = std::tuple<const char*, std::size_t, int, bool>;
    for (const auto& [calls, holds, releases, wanted] :
         {Script{"aa", 1, 0, true}, Script{"r", 0, 0, false}, Script{"arr", 1, 1, false},
          Script{"arar", 2, 2, false}, Script{"ax", 1, 1, false}, Script{"arx", 1, 1, false}}) {
        SCOPED_TRACE(calls);
        testing::FakeIdleInhibitor inhibitor;
        auto manager = std::make_unique<IdleInhibition>(inhibitor, [](const InhibitionState&) {});
        for (const char* c = calls; *c; ++c)
            *c == 'a' ? manager->acquire() : *c == 'r' ? manager->release() : manager.reset();
        EXPECT_EQ(inhibitor.holds, std::vector<std::string>(holds, IdleInhibition::reason));
        EXPECT_EQ(std::pair(inhibitor.releases, inhibitor.wanted()), std::pair(releases, wanted));
        EXPECT_TRUE(!manager || manager->isWanted() == wanted);
    }
}

} // namespace
} // namespace vornix
