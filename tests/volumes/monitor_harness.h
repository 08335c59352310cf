#pragma once

#include "volumes/volume_monitor.h"

#include "log_fakes.h"
#include "virtual_time.h"
#include "volume_fakes.h"

#include <memory>
#include <vector>

namespace vornix::testing {

/// A monitor on fakes and virtual time, created when the test says so.
struct MonitorHarness {
    VirtualTime time;
    RecordingSystemLog systemLog;
    RecordingNotifier notifier;
    EventLog log{time, systemLog, notifier};
    FakeVolumeSystem system;
    std::unique_ptr<VolumeMonitor> monitor;

    VolumeMonitor& start() {
        monitor = std::make_unique<VolumeMonitor>(log, time, system.ports());
        return *monitor;
    }

    /// Kinds of the recorded events, oldest first.
    std::vector<LogEvent::Kind> kinds() const {
        std::vector<LogEvent::Kind> out;
        for (auto it = log.events.get().rbegin(); it != log.events.get().rend(); ++it)
            out.push_back(it->kind);
        return out;
    }
    const LogEvent& latest() const { return log.events.get().front(); }
    std::size_t count() const { return monitor->volumes.get().size(); }
};

} // namespace vornix::testing
