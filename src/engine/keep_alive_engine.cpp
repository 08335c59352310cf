#include "engine/keep_alive_engine.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace vornix {

namespace {

/// A write in flight is shared by every ping of the same volume at the same mount path on the
/// same device. A drive plugged in again while its old write still hangs comes back under
/// another device name (the hung write keeps the old one taken), so it gets a write of its own.
struct WriteKey {
    std::string id;
    std::string mountPath;
    std::string kernelName;
};

/// A key as a tick reads it from a volume, without copying it.
using KeyView = std::tuple<std::string_view, std::string_view, std::string_view>;

KeyView view(const WriteKey& key) {
    return {key.id, key.mountPath, key.kernelName};
}
const KeyView& view(const KeyView& key) {
    return key;
}

struct KeyOrder {
    using is_transparent = void;
    template <class A, class B> bool operator()(const A& a, const B& b) const {
        return view(a) < view(b);
    }
};

/// A ping still inside its stall timeout.
struct WaitingPing {
    std::uint64_t number; // dispatch order
    std::uint64_t tick;
    std::string name;
};

/// Where a drive's jobs write: made once per drive, shared by its jobs.
struct PingPaths {
    std::string mountPath;
    std::string pingFile;
};

/// Whether a drive's pings reach it, judged by its I/O counters on the pings that wrote in time
/// (the others neither count nor reset). A ping reached its drive when the counters after its
/// flush differ from the first reading of the previous ping that counted, or, for the first ping
/// to count, from its own: a write the system kept back lands by the next ping, and counts then.
/// So the window of each ping spans the previous one too, and a ping after one that reached the
/// drive reaches it as well; only two pings in a row that saw no I/O at all make notReaching.
struct Reach {
    std::optional<DeviceNumber> device{};
    std::optional<IoCounters> firstReading{}; // of the last ping that counted
    std::size_t silent = 0;                   // pings in a row that moved nothing
    std::size_t reached = 0;                  // pings in a row that moved the counters

    /// Counts a ping that wrote in time with these readings; whether it is one too many that did
    /// not reach the drive. Readings missing (no counters) change nothing.
    bool notReaching(const std::optional<IoCounters>& before,
                     const std::optional<IoCounters>& after) {
        if (!before || !after)
            return false;
        const bool moved = *after != firstReading.value_or(*before);
        firstReading = before;
        silent = moved ? 0 : silent + 1;
        reached = moved ? reached + 1 : 0;
        return silent >= KeepAliveEngine::silentPingsBeforeNotReaching;
    }
};

/// One drive being pinged, kept from tick to tick while it is pinged or written to.
struct Drive {
    std::shared_ptr<const PingPaths> paths;
    Reach reach;
    std::uint64_t lastTick = 0;       // the last tick that pinged it
    bool writing = false;             // a job is out for it
    std::uint64_t generation = 0;     // of that job
    std::vector<WaitingPing> waiting; // in dispatch order
    std::size_t stalled = 0;          // pings whose stall fired; handled alike
    std::string stalledName;          // volume name of the latest of them
    // Its power readings in this keeping-awake stretch: whether the last one was active, and
    // whether it has been found asleep since an active one, with no active one after.
    bool lastReadActive = false;
    bool fellAsleep = false;
};

using Drives = std::map<WriteKey, Drive, KeyOrder>;

/// The pings of one tick are dispatched together, so they share one stall timer.
struct TickStall {
    std::shared_ptr<DelayedTask> timer;
    std::size_t waiting = 0; // pings of the tick still inside the timeout
};

/// What the jobs call; shared by all of them, and kept alive by any still running.
struct FileOperations {
    FreeSpaceQuery freeSpace;
    PingWrite write;
    IoCounterRead readCounters;
};

/// What one job found, handed back to the main thread.
struct JobOutcome {
    PingResult result{};
    std::optional<DeviceNumber> device{};                        // whose counters were read
    std::optional<IoCounters> countersBefore{}, countersAfter{}; // around the write and flush
    std::optional<PowerReading> power{}; // none when the drive was not asked
    std::uint64_t stretch = 0;           // of keeping awake, when the job was handed over
};

/// The journal's words for counters that did not move.
std::string unmovedDetail(DeviceNumber device, const IoCounters& counters) {
    std::string detail = "no write or flush completed on device " + std::to_string(device.major) +
                         ":" + std::to_string(device.minor) + " since the previous ping (writes " +
                         std::to_string(counters.writes);
    if (counters.flushes)
        detail += ", flushes " + std::to_string(*counters.flushes);
    return detail + ")";
}

} // namespace

struct KeepAliveEngine::Core {
    Core(VolumeMonitor& monitor, EventLog& log, EnginePorts p)
        : volumeMonitor(monitor), eventLog(log), ports(p),
          files(std::make_shared<const FileOperations>(FileOperations{
              p.fileSystem.freeSpace(), p.fileSystem.writer(), p.deviceCounters.reader()})) {}

    VolumeMonitor& volumeMonitor;
    EventLog& eventLog;
    EnginePorts ports;
    std::shared_ptr<const FileOperations> files;
    // Read by jobs before they ask a drive for its power state: none is asked while stopped,
    // also by a job handed over before the stop.
    std::shared_ptr<std::atomic<bool>> running = std::make_shared<std::atomic<bool>>(false);
    std::unique_ptr<RepeatingTimer> timer;
    std::uint64_t stretch = 0; // counts the starts: readings of an earlier stretch are no reference
    double interval = keep_alive_interval::defaultSeconds;
    bool engineGone = false; // set when the engine is destroyed inside one of its callbacks
    std::weak_ptr<Core> self;
    Drives drives; // a drive with a job out stays, so its job's result finds it
    std::map<std::uint64_t, TickStall> stallTimers; // by tick
    std::uint64_t nextTick = 1;
    std::uint64_t nextPing = 0;
    std::uint64_t nextGeneration = 0;
    std::vector<WorkerJob> tickJobs; // handed to the workers together at the end of a tick

    void startTimer(double interval);
    void pingAllWatchedVolumes();
    void ping(const KeyView& key, const WatchedVolume& volume, std::uint64_t tick);
    void dispatchWrite(Drives::value_type& drive);
    void stallFired(std::uint64_t tick);
    void writeReturned(Drives::value_type& drive, std::uint64_t generation,
                       const JobOutcome& outcome);
    /// Takes a job's power reading; true when the drive was found asleep again despite pings.
    /// A reading `outdated` by a stall or a start since it was asked is only shown.
    bool noteReading(Drives::value_type& drive, const PowerReading& reading, bool outdated);
    /// `unreached`: for a success, why it did not reach the drive, if it did not; `asleep`: the
    /// drive was found asleep despite the pings.
    void apply(const std::string& id, const std::string& name, const PingResult& result,
               bool timedOut, const std::optional<std::string>& unreached, bool asleep = false);
};

KeepAliveEngine::KeepAliveEngine(VolumeMonitor& volumeMonitor, EventLog& eventLog,
                                 EnginePorts ports)
    : core_(std::make_shared<Core>(volumeMonitor, eventLog, ports)) {
    core_->self = core_;
}

KeepAliveEngine::~KeepAliveEngine() {
    core_->engineGone = true;
    *core_->running = false;
}

void KeepAliveEngine::start(double interval) {
    // A new stretch of keeping awake, after a switch-on or a wake-up: what the drives said before
    // it is no reference, nor what their counters said of a drive that may have been unplugged,
    // spun down or reset meanwhile.
    for (auto& [key, drive] : core_->drives) {
        drive.reach = {};
        drive.lastReadActive = drive.fellAsleep = false;
    }
    ++core_->stretch;
    core_->startTimer(interval);
}

void KeepAliveEngine::Core::startTimer(double seconds) {
    interval = seconds;
    timer.reset();
    *running = true;
    timer = ports.mainQueue.startRepeating(seconds, [weak = self] {
        if (auto core = weak.lock(); core && !core->engineGone)
            core->pingAllWatchedVolumes();
    });
}

void KeepAliveEngine::stop() {
    core_->timer.reset();
    *core_->running = false;
}

void KeepAliveEngine::setInterval(double interval) {
    if (core_->timer)
        core_->startTimer(interval);
    else
        core_->interval = interval;
}

bool KeepAliveEngine::isRunning() const {
    return core_->timer != nullptr;
}

double KeepAliveEngine::interval() const {
    return core_->interval;
}

std::size_t KeepAliveEngine::reachingStreak(const WatchedVolume& volume) const {
    if (!volume.mountPath)
        return 0;
    const auto found = core_->drives.find(
        KeyView{volume.id, *volume.mountPath, volume.kernelName.value_or(std::string())});
    return found == core_->drives.end() ? 0 : found->second.reach.reached;
}

std::string KeepAliveEngine::pingFileLocation(const std::string& mountPath) {
    if (!mountPath.empty() && mountPath.back() == '/')
        return mountPath + pingFileName;
    return mountPath + "/" + pingFileName;
}

void KeepAliveEngine::Core::pingAllWatchedVolumes() {
    // The live list, no copy: a ping only schedules work and publishes nothing, so the list
    // cannot change under this loop.
    const auto& volumes = volumeMonitor.volumes.get();
    const auto tick = nextTick++;
    std::size_t pinged = 0;
    tickJobs.reserve(volumes.size());
    for (const auto& volume : volumes) {
        if (volume.isWatched && volume.isCurrentlyMounted && volume.mountPath) {
            const auto kernelName =
                volume.kernelName ? std::string_view(*volume.kernelName) : std::string_view();
            ping({volume.id, *volume.mountPath, kernelName}, volume, tick);
            ++pinged;
        }
    }
    std::erase_if(drives, [tick](const auto& drive) {
        return drive.second.lastTick != tick && !drive.second.writing;
    });
    if (pinged > 0) {
        auto fire = [weak = self, tick] {
            if (auto core = weak.lock(); core && !core->engineGone)
                core->stallFired(tick);
        };
        stallTimers[tick] = {ports.mainQueue.postDelayed(stallTimeout, std::move(fire)), pinged};
    }
    if (!tickJobs.empty())
        ports.workers.submitAll(std::move(tickJobs));
    tickJobs.clear();
}

void KeepAliveEngine::Core::ping(const KeyView& key, const WatchedVolume& volume,
                                 std::uint64_t tick) {
    auto found = drives.find(key);
    if (found == drives.end()) {
        WriteKey owned{std::string(std::get<0>(key)), std::string(std::get<1>(key)),
                       std::string(std::get<2>(key))};
        auto paths = std::make_shared<const PingPaths>(
            PingPaths{owned.mountPath, pingFileLocation(owned.mountPath)});
        found = drives.emplace(std::move(owned), Drive{}).first;
        found->second.paths = std::move(paths);
    }
    auto& drive = found->second;
    // A record reads idle only until its first ping result since it was mounted: a remount at
    // the same place starts afresh, as does another device under the same name.
    if (volume.status == VolumeStatus::idle || drive.reach.device != volume.deviceNumber)
        drive.reach = {.device = volume.deviceNumber};
    drive.lastTick = tick;
    drive.waiting.push_back({nextPing++, tick, volume.name});
    if (!drive.writing)
        dispatchWrite(*found);
}

void KeepAliveEngine::Core::dispatchWrite(Drives::value_type& drive) {
    const auto device = drive.second.reach.device;
    drive.second.writing = true;
    drive.second.generation = nextGeneration++;
    auto query =
        device && ports.drivePower ? ports.drivePower->powerStateQuery(*device) : std::nullopt;
    // The job holds what it reads; the result finds its drive again, which stays in `drives`
    // while the job is out, once the engine is known to be still there.
    tickJobs.push_back([files = files, paths = drive.second.paths, query = std::move(query),
                        running = running, stretch = stretch, weak = self, target = &drive,
                        generation = drive.second.generation, device]() -> Task {
        JobOutcome outcome{.device = device, .stretch = stretch};
        // First, before anything here touches the drive: one that fell asleep since the last
        // ping is seen before this ping wakes it.
        if (query && *running)
            outcome.power = PowerReading{query->ask(), query->rotates};
        if (device)
            outcome.countersBefore = files->readCounters(*device);
        // statfs can hang like any write on a sick drive: it runs here, in the stall window.
        const auto free = files->freeSpace(paths->mountPath);
        outcome.result =
            free && *free < freeSpaceFloor ? PingResult::full() : files->write(paths->pingFile);
        if (outcome.countersBefore && outcome.result.kind == PingResult::Kind::success)
            outcome.countersAfter = files->readCounters(*device);
        return [weak, target, generation, outcome = std::move(outcome)] {
            if (auto core = weak.lock(); core && !core->engineGone)
                core->writeReturned(*target, generation, outcome);
        };
    });
}

void KeepAliveEngine::Core::stallFired(std::uint64_t tick) {
    if (stallTimers.erase(tick) == 0)
        return;
    // Every ping of the tick still waiting stalls; reported in the order they were dispatched.
    struct Stalled {
        std::uint64_t number;
        std::string id;
        std::string name;
    };
    std::vector<Stalled> stalled;
    for (auto& [key, drive] : drives) {
        auto kept = drive.waiting.begin();
        for (auto& ping : drive.waiting) {
            if (ping.tick != tick) {
                if (&*kept != &ping)
                    *kept = std::move(ping);
                ++kept;
                continue;
            }
            ++drive.stalled;
            drive.stalledName = ping.name;
            drive.lastReadActive = drive.fellAsleep = false; // a stall starts a stretch anew
            stalled.push_back({ping.number, key.id, std::move(ping.name)});
        }
        drive.waiting.erase(kept, drive.waiting.end());
    }
    std::ranges::sort(stalled, {}, &Stalled::number);
    for (const auto& ping : stalled) {
        if (engineGone)
            return;
        volumeMonitor.markStatus(ping.id, VolumeStatus::stalled, std::nullopt);
        if (!engineGone)
            eventLog.record(LogEvent::Kind::pingStalled, ping.name, "");
    }
}

void KeepAliveEngine::Core::writeReturned(Drives::value_type& target, std::uint64_t generation,
                                          const JobOutcome& outcome) {
    const PingResult& result = outcome.result;
    auto& drive = target.second;
    if (!drive.writing || drive.generation != generation)
        return;
    // Taken out first: handling runs subscribers, and the drive is free for the next ping. Ticks
    // come from the timer only, never inside the handling, so the drive stays where it is.
    drive.writing = false;
    std::vector<WaitingPing> waiting;
    waiting.swap(drive.waiting);
    const auto stalled = std::exchange(drive.stalled, 0);
    const auto stalledName = std::exchange(drive.stalledName, {});
    const auto& id = target.first.id;
    // One write, counted once, whichever pings waited for it, and only if one of them is in time.
    std::optional<std::string> unreached;
    if (result.kind == PingResult::Kind::success && !waiting.empty() &&
        outcome.device == drive.reach.device &&
        drive.reach.notReaching(outcome.countersBefore, outcome.countersAfter))
        unreached = unmovedDetail(*outcome.device, *outcome.countersAfter);
    for (const auto& ping : waiting) {
        if (auto stall = stallTimers.find(ping.tick);
            stall != stallTimers.end() && --stall->second.waiting == 0) {
            stall->second.timer->cancel();
            stallTimers.erase(stall);
        }
    }
    if (outcome.power &&
        noteReading(target, *outcome.power, stalled > 0 || outcome.stretch != stretch)) {
        if (engineGone)
            return;
        const std::string& name = waiting.empty() ? stalledName : waiting.front().name;
        eventLog.record(LogEvent::Kind::driveFellAsleep, name,
                        "pinged every " + std::to_string(static_cast<long long>(interval)) + " s");
    }
    // The stalled pings are the older ones (every ping has the same timeout).
    for (std::size_t i = 0; i < stalled; ++i) {
        if (engineGone)
            return;
        apply(id, stalledName, result, true, std::nullopt);
    }
    for (const auto& ping : waiting) {
        if (engineGone)
            return;
        apply(id, ping.name, result, false, unreached, drive.fellAsleep);
    }
    if (drive.waiting.empty()) { // its buffer serves the next tick
        waiting.clear();
        drive.waiting.swap(waiting);
    }
}

bool KeepAliveEngine::Core::noteReading(Drives::value_type& target, const PowerReading& reading,
                                        bool outdated) {
    auto& drive = target.second;
    auto stamped = reading;
    stamped.at = ports.clock.now();
    volumeMonitor.markPower(target.first.id, stamped);
    if (outdated || reading.state == DrivePowerState::unknown)
        return false;
    const bool active = reading.state == DrivePowerState::active;
    const bool dozedOff = !active && drive.lastReadActive;
    drive.lastReadActive = active;
    drive.fellAsleep = !active && (drive.fellAsleep || dozedOff);
    return dozedOff;
}

void KeepAliveEngine::Core::apply(const std::string& id, const std::string& name,
                                  const PingResult& result, bool timedOut,
                                  const std::optional<std::string>& unreached, bool asleep) {
    using Kind = PingResult::Kind;
    switch (result.kind) {
    case Kind::success:
        if (timedOut)
            return; // the volume stays stalled until a ping succeeds in time
        if (unreached) {
            // The drive was asleep before the ping, too: that is the greater trouble.
            volumeMonitor.markStatus(id,
                                     asleep ? VolumeStatus::fellAsleep : VolumeStatus::notReaching,
                                     std::nullopt, *unreached);
            if (!engineGone)
                eventLog.record(LogEvent::Kind::pingNotReaching, name, *unreached);
            return;
        }
        // Written, but the drive had gone to sleep first: trouble all the same.
        volumeMonitor.markStatus(id, asleep ? VolumeStatus::fellAsleep : VolumeStatus::active,
                                 ports.clock.now());
        if (!engineGone)
            eventLog.record(LogEvent::Kind::pingSucceeded, name, "");
        return;
    case Kind::readOnly:
        volumeMonitor.markStatus(id, VolumeStatus::readOnly, std::nullopt);
        if (!engineGone)
            eventLog.record(LogEvent::Kind::volumeReadOnly, name, "");
        return;
    case Kind::full:
        volumeMonitor.markStatus(id, VolumeStatus::full, std::nullopt);
        if (!engineGone)
            eventLog.record(LogEvent::Kind::volumeFull, name, "");
        return;
    case Kind::volumeGone:
        return; // the volume monitor reports the departure
    case Kind::failure:
        // Also when late: the drive has answered, and an error says more than "stalled".
        volumeMonitor.markStatus(id, VolumeStatus::failed, std::nullopt, result.message);
        if (!engineGone)
            eventLog.record(LogEvent::Kind::pingFailed, name, result.message);
        return;
    }
}

} // namespace vornix
