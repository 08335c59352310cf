#include "engine/keep_alive_engine.h"

#include <map>
#include <utility>

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
    std::string name;
    std::shared_ptr<DelayedTask> stallTimer;
};

struct InFlightWrite {
    std::uint64_t generation = 0;
    std::map<std::uint64_t, WaitingPing> waiting; // by dispatch order
    std::size_t stalled = 0;                      // pings whose stall fired; handled alike
    std::string stalledName;                      // volume name of the latest of them
};

} // namespace

struct KeepAliveEngine::Core {
    Core(VolumeMonitor& monitor, EventLog& log, EnginePorts p)
        : volumeMonitor(monitor), eventLog(log), ports(p), freeSpace(p.fileSystem.freeSpace()),
          write(p.fileSystem.writer()) {}

    VolumeMonitor& volumeMonitor;
    EventLog& eventLog;
    EnginePorts ports;
    FreeSpaceQuery freeSpace;
    PingWrite write;
    std::unique_ptr<RepeatingTimer> timer;
    double interval = keep_alive_interval::defaultSeconds;
    bool engineGone = false; // set when the engine is destroyed inside one of its callbacks
    std::weak_ptr<Core> self;
    std::map<WriteKey, InFlightWrite> inFlight;
    std::uint64_t nextPing = 0;
    std::uint64_t nextGeneration = 0;

    void pingAllWatchedVolumes();
    void ping(WriteKey key, const std::string& name);
    void dispatchWrite(const WriteKey& key, std::uint64_t generation);
    void stallFired(const WriteKey& key, std::uint64_t generation, std::uint64_t ping);
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
    for (const auto& volume : volumeMonitor.volumes.get()) {
        if (volume.isWatched && volume.isCurrentlyMounted && volume.mountPath)
            ping({volume.id, *volume.mountPath, volume.kernelName.value_or("")}, volume.name);
    }
}

void KeepAliveEngine::Core::ping(WriteKey key, const std::string& name) {
    auto found = inFlight.find(key);
    const bool joining = found != inFlight.end();
    if (!joining)
        found = inFlight.emplace(key, InFlightWrite{nextGeneration++, {}, 0, {}}).first;
    auto& write = found->second;
    const auto generation = write.generation;
    const auto pingNumber = nextPing++;
    std::weak_ptr<Core> weak = self;
    auto stallTimer =
        ports.mainQueue.postDelayed(stallTimeout, [weak, key, generation, pingNumber] {
            if (auto core = weak.lock(); core && !core->engineGone)
                core->stallFired(key, generation, pingNumber);
        });
    write.waiting.emplace(pingNumber, WaitingPing{name, std::move(stallTimer)});
    if (!joining)
        dispatchWrite(key, generation);
}

void KeepAliveEngine::Core::dispatchWrite(const WriteKey& key, std::uint64_t generation) {
    std::weak_ptr<Core> weak = self;
    ports.workers.submit([freeSpace = freeSpace, write = write, weak, key, generation]() -> Task {
        // statfs can hang like any write on a sick drive: it runs here, inside the stall window.
        const auto free = freeSpace(key.mountPath);
        auto result = free && *free < freeSpaceFloor ? PingResult::full()
                                                     : write(pingFileLocation(key.mountPath));
        return [weak, key, generation, result = std::move(result)] {
            if (auto core = weak.lock(); core && !core->engineGone)
                core->writeReturned(key, generation, result);
        };
    });
}

void KeepAliveEngine::Core::stallFired(const WriteKey& key, std::uint64_t generation,
                                       std::uint64_t ping) {
    auto found = inFlight.find(key);
    if (found == inFlight.end() || found->second.generation != generation)
        return;
    auto& write = found->second;
    auto waiting = write.waiting.find(ping);
    if (waiting == write.waiting.end())
        return;
    const std::string name = std::move(waiting->second.name);
    write.waiting.erase(waiting);
    ++write.stalled;
    write.stalledName = name;
    volumeMonitor.markStatus(key.id, VolumeStatus::stalled, std::nullopt);
    if (!engineGone)
        eventLog.record(LogEvent::Kind::pingStalled, name, "");
}

void KeepAliveEngine::Core::writeReturned(const WriteKey& key, std::uint64_t generation,
                                          const PingResult& result) {
    auto found = inFlight.find(key);
    if (found == inFlight.end() || found->second.generation != generation)
        return;
    // Taken out first: handling runs subscribers, which may start the next write of this volume.
    const InFlightWrite done = std::move(found->second);
    inFlight.erase(found);
    for (const auto& [number, ping] : done.waiting)
        ping.stallTimer->cancel();
    // The stalled pings are the older ones (every ping has the same timeout).
    for (std::size_t i = 0; i < done.stalled; ++i) {
        if (engineGone)
            return;
        apply(key.id, done.stalledName, result, true);
    }
    for (const auto& [number, ping] : done.waiting) {
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
