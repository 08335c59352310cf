#pragma once

#include "engine/engine_ports.h"
#include "engine/keep_alive_interval.h"
#include "log/event_log.h"
#include "volumes/volume_monitor.h"

#include <cstdint>
#include <memory>
#include <string>

namespace vornix {

/// The keep-alive engine. While running, it pings every watched, mounted volume at once and then
/// every `interval` seconds: one job on a worker thread tests the free space and, unless the
/// volume is nearly full, writes the ping file, all under one 8-second stall timer. Nothing that
/// can touch a volume runs on the main thread, so a drive hanging in any system call only ever
/// stalls its own pings. Each outcome becomes a status on the volume and an event in the log, on
/// every ping; a failed or refused write shows as `failed` with the reason. Main thread only.
///
/// At most one job per volume (and mount path and device) is in the kernel at a time. A ping of a
/// volume whose previous job has not returned starts nothing new: it joins the job in flight,
/// keeps its own stall deadline, and gets its own result handling when that job returns. The jobs
/// of a tick are handed to the workers together and share one stall timer.
/// Pings whose stall has fired are only counted, so a volume stuck for hours costs the same
/// memory and threads as one stuck for a minute.
///
/// Destroying the engine leaves jobs in flight to finish on their own; every tick, stall timer
/// or result that arrives afterwards does nothing.
class KeepAliveEngine {
public:
    static constexpr double stallTimeout = 8.0;
    static constexpr std::int64_t freeSpaceFloor = 52'428'800; // 50 × 1,048,576 bytes
    static constexpr const char* pingFileName = ".vornix_ping";

    KeepAliveEngine(VolumeMonitor& volumeMonitor, EventLog& eventLog, EnginePorts ports);
    ~KeepAliveEngine();
    KeepAliveEngine(const KeepAliveEngine&) = delete;
    KeepAliveEngine& operator=(const KeepAliveEngine&) = delete;

    /// Replaces any running timer with one that ticks at once (never inside this call) and then
    /// every `interval` seconds. Callers pass positive intervals.
    void start(double interval);
    /// Drops the timer. Pings already dispatched still get their stall report and result.
    void stop();
    /// Restarts a running engine with the new interval (so a pass runs at once); on a stopped
    /// engine it only stores the value.
    void setInterval(double interval);

    bool isRunning() const;
    /// The interval most recently given.
    double interval() const;

    /// Where the ping file of a volume mounted at `mountPath` lives.
    static std::string pingFileLocation(const std::string& mountPath);

private:
    struct Core;
    std::shared_ptr<Core> core_;
};

} // namespace vornix
