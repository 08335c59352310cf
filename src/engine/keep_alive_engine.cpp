#include "engine/keep_alive_engine.h"

#include <algorithm>
#include <map>
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
    auto operator<=>(const WriteKey&) const = default;
};

/// A ping still inside its stall timeout.
struct WaitingPing {
    std::uint64_t number; // dispatch order
    std::uint64_t tick;
    std::string name;
};

struct InFlightWrite {
    std::uint64_t generation = 0;
    std::vector<WaitingPing> waiting; // in dispatch order
    std::size_t stalled = 0;          // pings whose stall fired; handled alike
    std::string stalledName;          // volume name of the latest of them
};

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
    std::unique_ptr<RepeatingTimer> timer;
    double interval = keep_alive_interval::defaultSeconds;
    bool engineGone = false; // set when the engine is destroyed inside one of its callbacks
    std::weak_ptr<Core> self;
    std::map<WriteKey, InFlightWrite> inFlight;
    std::map<std::uint64_t, TickStall> stallTimers; // by tick
    std::uint64_t nextTick = 0;
    std::uint64_t nextPing = 0;
    std::uint64_t nextGeneration = 0;
    std::vector<WorkerJob> tickJobs; // handed to the workers together at the end of a tick

    void pingAllWatchedVolumes();
    void ping(WriteKey key, const std::string& name, std::uint64_t tick);
    void dispatchWrite(WriteKey key, std::uint64_t generation);
    void stallFired(std::uint64_t tick);
    void writeReturned(const WriteKey& key, std::uint64_t generation, const PingResult& result);
    void apply(const std::string& id, const std::string& name, const PingResult& result,
               bool timedOut);
};

KeepAliveEngine::KeepAliveEngine(VolumeMonitor& volumeMonitor, EventLog& eventLog,
                                 EnginePorts ports)
    : core_(std::make_shared<Core>(volumeMonitor, eventLog, ports)) {
    core_->self = core_;
}

KeepAliveEngine::~KeepAliveEngine() {
    core_->engineGone = true;
}

void KeepAliveEngine::start(double interval) {
    core_->interval = interval;
    core_->timer.reset();
    std::weak_ptr<Core> weak = core_;
    core_->timer = core_->ports.mainQueue.startRepeating(interval, [weak] {
        if (auto core = weak.lock(); core && !core->engineGone)
            core->pingAllWatchedVolumes();
    });
}

void KeepAliveEngine::stop() {
    core_->timer.reset();
}

void KeepAliveEngine::setInterval(double interval) {
    if (core_->timer)
        start(interval);
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
            ping({volume.id, *volume.mountPath, volume.kernelName.value_or("")}, volume.name, tick);
            ++pinged;
        }
    }
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

void KeepAliveEngine::Core::ping(WriteKey key, const std::string& name, std::uint64_t tick) {
    const auto [found, fresh] = inFlight.try_emplace(std::move(key));
    auto& write = found->second;
    if (fresh)
        write.generation = nextGeneration++;
    write.waiting.push_back({nextPing++, tick, name});
    if (fresh)
        dispatchWrite(found->first, write.generation);
}

void KeepAliveEngine::Core::dispatchWrite(WriteKey key, std::uint64_t generation) {
    tickJobs.push_back(
        [files = files, weak = self, key = std::move(key), generation]() mutable -> Task {
            // statfs can hang like any write on a sick drive: it runs here, in the stall window.
            const auto free = files->freeSpace(key.mountPath);
            auto result = free && *free < freeSpaceFloor
                              ? PingResult::full()
                              : files->write(pingFileLocation(key.mountPath));
            return [weak, key = std::move(key), generation, result = std::move(result)] {
                if (auto core = weak.lock(); core && !core->engineGone)
                    core->writeReturned(key, generation, result);
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
    for (auto& [key, write] : inFlight) {
        std::vector<WaitingPing> still;
        for (auto& ping : write.waiting) {
            if (ping.tick != tick) {
                still.push_back(std::move(ping));
                continue;
            }
            ++write.stalled;
            write.stalledName = ping.name;
            stalled.push_back({ping.number, key.id, std::move(ping.name)});
        }
        write.waiting = std::move(still);
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

void KeepAliveEngine::Core::writeReturned(const WriteKey& key, std::uint64_t generation,
                                          const PingResult& result) {
    auto found = inFlight.find(key);
    if (found == inFlight.end() || found->second.generation != generation)
        return;
    // Taken out first: handling runs subscribers, which may start the next write of this volume.
    const InFlightWrite done = std::move(found->second);
    inFlight.erase(found);
    for (const auto& ping : done.waiting) {
        if (auto stall = stallTimers.find(ping.tick);
            stall != stallTimers.end() && --stall->second.waiting == 0) {
            stall->second.timer->cancel();
            stallTimers.erase(stall);
        }
    }
    // The stalled pings are the older ones (every ping has the same timeout).
    for (std::size_t i = 0; i < done.stalled; ++i) {
        if (engineGone)
            return;
        apply(key.id, done.stalledName, result, true);
    }
    for (const auto& ping : done.waiting) {
        if (engineGone)
            return;
        apply(key.id, ping.name, result, false);
    }
}

void KeepAliveEngine::Core::apply(const std::string& id, const std::string& name,
                                  const PingResult& result, bool timedOut) {
    using Kind = PingResult::Kind;
    switch (result.kind) {
    case Kind::success:
        if (timedOut)
            return; // the volume stays stalled until a ping succeeds in time
        volumeMonitor.markStatus(id, VolumeStatus::active, ports.clock.now());
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
