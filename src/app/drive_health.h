#pragma once

#include "core/observable.h"
#include "log/event_log.h"
#include "volumes/volume_monitor.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vornix {

/// What the system's disk service says of the drive under a block device.
struct DriveHealth {
    std::string drive;    // names the drive: the same for every volume on it
    bool failing = false; // its own SMART verdict, where SMART is on and has been read
};

/// The drives behind the mounted volumes, followed as the disk service reports changes.
class DriveHealthPort {
public:
    virtual ~DriveHealthPort() = default;
    /// The drive that the block device `device` (the one mounted) stands on, following an
    /// encrypted volume to the device under it; none when no drive is known for it. Answers from
    /// what is already known: main thread only, cheap.
    virtual std::optional<DriveHealth> health(DeviceNumber device) const = 0;
    /// Calls `handler` on the main thread whenever what health() answers may have changed, until
    /// the subscription ends.
    [[nodiscard]] virtual Subscription onHealthChanged(std::function<void()> handler) = 0;
};

/// Keeps each mounted volume's drive and failing flag in line with the disk service, and records
/// `driveFailing` each time a watched volume's drive starts to report failing. A volume that is
/// not mounted has neither. Main thread only.
class DriveHealthWatch {
public:
    DriveHealthWatch(VolumeMonitor& monitor, EventLog& eventLog, DriveHealthPort& port);
    DriveHealthWatch(const DriveHealthWatch&) = delete;
    DriveHealthWatch& operator=(const DriveHealthWatch&) = delete;

private:
    /// Looks up the volumes whose device changed since, or all with `everything`.
    void follow(bool everything);

    VolumeMonitor& monitor_;
    EventLog& eventLog_;
    DriveHealthPort& port_;
    // By position (records are only ever appended): the device last looked up, none while
    // not mounted.
    std::vector<std::optional<DeviceNumber>> devices_;
    Subscription volumes_;
    Subscription health_;
};

} // namespace vornix
