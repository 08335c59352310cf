#pragma once

#include "core/observable.h"
#include "core/scheduling.h"
#include "log/event_log.h"
#include "volumes/volume_ports.h"
#include "volumes/watched_volume.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace vornix {

/// The registry of every external volume accepted during this run, and the only writer of it.
/// Records are appended in the order volumes are first accepted and are never removed: a volume
/// that leaves stays listed as not mounted and its record is reused when it comes back.
///
/// Creation notes the boot volume, starts watching the system's volume events and scans the
/// mounted volumes, in that order, so the list holds the external volumes present at start when
/// the constructor returns. A source of events the system could not open is recorded then, once,
/// as `driveMonitoringUnavailable`. Destruction ends the watch: nothing calls into a destroyed
/// monitor.
///
/// Identifiers: the file system's UUID; for a second volume with the same UUID (a byte-for-byte
/// clone) the UUID, ":" and its device's hardware key, so each copy has its own record and its own
/// stored choice. Of copies mounted at start the one with the smallest key keeps the bare UUID,
/// whatever the mount order; later in the run, the copy seen first. Copies that no key tells
/// apart get the kernel device name appended as well. Without a UUID: the identifier last given to
/// the same kernel device name, else "path:" and the mount point.
class VolumeMonitor : public ObservableObject {
public:
    /// Whether the user switched the volume with this identifier off. Asked once per record, as
    /// it is born, so each record starts with its watch flag; a record reused when its volume
    /// comes back keeps the flag it has.
    using ExclusionRule = std::function<bool(const std::string& id)>;

    /// Without `isExcluded` every new record starts watched.
    VolumeMonitor(EventLog& eventLog, const WallClock& clock, VolumePorts ports,
                  ExclusionRule isExcluded = {});
    ~VolumeMonitor();
    VolumeMonitor(const VolumeMonitor&) = delete;
    VolumeMonitor& operator=(const VolumeMonitor&) = delete;

    Published<std::vector<WatchedVolume>> volumes{*this, {}};

    /// Sets the watch flag of the record with this id; an unknown id publishes nothing.
    void setWatched(const std::string& id, bool watched);

    /// Sets the status with its `detail` (kept as the record's `statusDetail`) and, when a time
    /// is given, the last-ping time: two publications then. An unknown id publishes nothing.
    /// Mount and watch state are not consulted.
    void markStatus(const std::string& id, VolumeStatus status, std::optional<WallTime> lastPingAt,
                    std::string detail = {});

    /// Sets what the volume's drive last said of its power mode. An unknown id publishes nothing.
    void markPower(const std::string& id, const PowerReading& reading);

    /// Sets which drive the volume lives on and whether that drive reports failing, in one
    /// publication. An unknown id publishes nothing.
    void markDrive(const std::string& id, std::string drive, bool failing);

    /// The record with this id, if any.
    std::optional<WatchedVolume> volume(const std::string& id) const;

    /// The UUID of the file system at "/", noted at creation.
    const std::optional<std::string>& rootFileSystemUuid() const { return rootFileSystemUuid_; }

private:
    /// Index of the first record with this id, or -1.
    std::ptrdiff_t indexOf(const std::string& id) const;

    /// Changes one record in place and publishes the list (no copy of it).
    template <class Change> void update(std::size_t index, Change&& change) {
        volumes.modify([&](std::vector<WatchedVolume>& list) { change(list[index]); });
    }

    void scanCurrentVolumes();
    void handleEvent(const VolumeEvent& event);
    bool isCandidate(const MountedVolume& volume) const;
    void considerCandidate(const MountedVolume& volume);
    std::string identify(const MountedVolume& volume);
    bool belongsTo(const WatchedVolume& record, const MountedVolume& volume) const;
    /// The one rule that tells an eject from a pull.
    void handleDeparture(const VolumeEvent& event);

    EventLog& eventLog_;
    [[maybe_unused]] const WallClock& clock_;
    VolumePorts ports_;
    ExclusionRule isExcluded_;
    std::optional<std::string> rootFileSystemUuid_;
    std::map<std::string, std::string> kernelNameToVolumeID_;
    std::map<std::string, std::optional<std::string>> hardwareKeys_; // by identifier
    // During the scan at start: for each UUID mounted more than once, the smallest hardware key,
    // whose volume keeps the bare UUID whatever the mount order.
    std::map<std::string, std::optional<std::string>> scanOwners_;
    mutable std::unordered_map<std::string, std::size_t> indexHints_; // see indexOf()
    // Declared last so it ends first: no event reaches a half-destroyed monitor.
    Subscription watch_;
};

} // namespace vornix
