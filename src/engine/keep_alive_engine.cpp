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

/// One drive being pinged, kept from tick to tick while it is pinged or written to.
struct Drive {
    std::shared_ptr<const PingPaths> paths;
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
};

/// What one job found out, handed back to the main thread.
struct JobResult {
    PingResult write;
    std::optional<PowerReading> power{}; // none when the drive was not asked
    std::uint64_t stretch = 0;           // of keeping awake, when the job was handed over
};

} // namespace

struct KeepAliveEngine::Core {
    Core(VolumeMonitor& monitor, EventLog& log, EnginePorts p)
        : volumeMonitor(monitor), eventLog(log), ports(p),
          files(std::make_shared<const FileOperations>(
              FileOperations{p.fileSystem.freeSpace(), p.fileSystem.writer()})) {}

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
    void ping(const KeyView& key, const std::string& name, std::optional<DeviceNumber> device,
              std::uint64_t tick);
    void dispatchWrite(Drives::value_type& drive, std::optional<DeviceNumber> device);
    void stallFired(std::uint64_t tick);
    void writeReturned(Drives::value_type& drive, std::uint64_t generation,
                       const JobResult& result);
    /// Takes a job's power reading; true when the drive was found asleep again despite pings.
    /// A reading `outdated` by a stall or a start since it was asked is only shown.
    bool noteReading(Drives::value_type& drive, const PowerReading& reading, bool outdated);
    void apply(const std::string& id, const std::string& name, const PingResult& result,
               bool timedOut, bool asleep = false);
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
    // A new stretch of keeping awake: what the drives said before it is no reference.
    for (auto& [key, drive] : core_->drives)
        drive.lastReadActive = drive.fellAsleep = false;
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
            ping({volume.id, *volume.mountPath, kernelName}, volume.name, volume.deviceNumber,
                 tick);
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

void KeepAliveEngine::Core::ping(const KeyView& key, const std::string& name,
                                 std::optional<DeviceNumber> device, std::uint64_t tick) {
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
    drive.lastTick = tick;
    drive.waiting.push_back({nextPing++, tick, name});
    if (!drive.writing)
        dispatchWrite(*found, device);
}

void KeepAliveEngine::Core::dispatchWrite(Drives::value_type& drive,
                                          std::optional<DeviceNumber> device) {
    drive.second.writing = true;
    drive.second.generation = nextGeneration++;
    auto query =
        device && ports.drivePower ? ports.drivePower->powerStateQuery(*device) : std::nullopt;
    // The job holds what it reads; the result finds its drive again, which stays in `drives`
    // while the job is out, once the engine is known to be still there.
    tickJobs.push_back([files = files, paths = drive.second.paths, query = std::move(query),
                        running = running, stretch = stretch, weak = self, target = &drive,
                        generation = drive.second.generation]() -> Task {
        JobResult result{.write = {}, .stretch = stretch};
        // First, before anything here touches the drive: one that fell asleep since the last
        // ping is seen before this ping wakes it.
        if (query && *running)
            result.power = PowerReading{query->ask(), query->rotates};
        // statfs can hang like any write on a sick drive: it runs here, in the stall window.
        const auto free = files->freeSpace(paths->mountPath);
        result.write =
            free && *free < freeSpaceFloor ? PingResult::full() : files->write(paths->pingFile);
        return [weak, target, generation, result = std::move(result)] {
            if (auto core = weak.lock(); core && !core->engineGone)
                core->writeReturned(*target, generation, result);
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
                                          const JobResult& job) {
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
    const auto& result = job.write;
    for (const auto& ping : waiting) {
        if (auto stall = stallTimers.find(ping.tick);
            stall != stallTimers.end() && --stall->second.waiting == 0) {
            stall->second.timer->cancel();
            stallTimers.erase(stall);
        }
    }
    if (job.power && noteReading(target, *job.power, stalled > 0 || job.stretch != stretch)) {
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
        apply(id, stalledName, result, true);
    }
    for (const auto& ping : waiting) {
        if (engineGone)
            return;
        apply(id, ping.name, result, false, drive.fellAsleep);
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
                                  const PingResult& result, bool timedOut, bool asleep) {
    using Kind = PingResult::Kind;
    switch (result.kind) {
    case Kind::success:
        if (timedOut)
            return; // the volume stays stalled until a ping succeeds in time
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
