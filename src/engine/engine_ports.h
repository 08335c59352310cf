#pragma once

// What the keep-alive engine needs from the platform besides the main queue and the clock.

#include "core/scheduling.h"
#include "engine/ping_result.h"
#include "volumes/watched_volume.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vornix {

/// The blocking write of one ping file, given the file's full path.
using PingWrite = std::function<PingResult(const std::string& pingFilePath)>;
/// Bytes the user may still write on the file system mounted at the given path, or none when
/// the system cannot say. Blocks while the file system answers.
using FreeSpaceQuery = std::function<std::optional<std::int64_t>(const std::string& mountPath)>;

/// The file-system side of a ping. Both functions run on worker threads, several at once,
/// possibly for the same volume, and may block for as long as the drive takes. Each owns
/// whatever it uses, so one that returns after the engine and this object are gone touches
/// nothing freed.
class PingFileSystem {
public:
    virtual ~PingFileSystem() = default;

    virtual FreeSpaceQuery freeSpace() const = 0;

    /// The write itself. Writes the present UTC time as "YYYY-MM-DDTHH:MM:SSZ" (20 bytes, no line
    /// end) at offset 0 of the file, creating it with mode 0644, never truncating it, and flushes
    /// it to the medium. Anything at the path that is not a regular file of the volume's own
    /// with a single link is refused as a failure saying why.
    virtual PingWrite writer() const = 0;
};

/// What a block device has completed, as the system counts it from the moment the device
/// appeared: requests that reached the device (or the bridge in front of it), never what a cache
/// above it kept. Only ever compared for equality: a device that went and came back starts anew.
struct IoCounters {
    std::uint64_t writes = 0;
    std::optional<std::uint64_t> flushes{}; // where the system counts cache flushes
    bool operator==(const IoCounters&) const = default;
};

/// The counters of the block device with this number, or none where there are none (no such
/// device, a file system on no device). Blocks like any read of the system's device records.
using IoCounterRead = std::function<std::optional<IoCounters>(DeviceNumber device)>;

/// The device side of a ping: whether the write reached the drive. The reader runs on worker
/// threads, several at once; like the file system's functions it owns whatever it uses.
class DeviceCounters {
public:
    virtual ~DeviceCounters() = default;
    virtual IoCounterRead reader() const = 0;
};

/// How to ask one drive for its power mode.
struct PowerStateQuery {
    /// The asking itself, made so that it never wakes the drive: it asks nothing of a drive the
    /// kernel has put to sleep, and never shows a password dialog. Runs on a worker thread, blocks
    /// for a bounded time at most, and owns whatever it uses. Every failure is `unknown`.
    std::function<DrivePowerState()> ask;
    bool rotates = true; // false for a drive without platters
};

/// The drives behind the mounted volumes, as the system's disk service knows them.
class DrivePowerPort {
public:
    virtual ~DrivePowerPort() = default;
    /// How to ask the drive that the block device `device` (the one mounted) stands on, following
    /// an encrypted volume to the device under it; none where no drive is known for it or it
    /// cannot tell its power mode. Answers from what is already known, without a call to
    /// anything: main thread only, and cheap enough for every ping.
    virtual std::optional<PowerStateQuery> powerStateQuery(DeviceNumber device) const = 0;
};

/// Work for a worker thread. It returns what the main thread should then do with its outcome
/// (or an empty task for nothing).
using WorkerJob = std::function<Task()>;

/// Threads for blocking work.
class WorkerQueue {
public:
    virtual ~WorkerQueue() = default;

    /// Runs each of `jobs` on a worker thread, never inside this call, and has the task each
    /// returns run on the main queue, in the order the jobs finish. Handing a whole tick's jobs
    /// over in one call lets the queue take them in one go. A job blocked in the kernel delays
    /// other jobs by a short grace period at most, never by its own length. Once the queue is
    /// destroyed nothing more reaches the main queue: a job that returns later has its task
    /// dropped on the worker thread, so jobs and their tasks capture values and weak references
    /// only. Main thread only.
    virtual void submitAll(std::vector<WorkerJob> jobs) = 0;
};

/// The platform services the engine is built on; all must outlive the engine, and the worker
/// queue must be destroyed before the main queue.
struct EnginePorts {
    MainQueue& mainQueue;
    const WallClock& clock;
    WorkerQueue& workers;
    PingFileSystem& fileSystem;
    DeviceCounters& deviceCounters;
    /// None: no drive's power mode is ever known.
    const DrivePowerPort* drivePower = nullptr;
};

} // namespace vornix
