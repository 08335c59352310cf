#pragma once

#include "core/observable.h"
#include "core/scheduling.h"
#include "log/event_log.h"
#include "volumes/volume_ports.h"
#include "volumes/watched_volume.h"

#include <array>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vornix {

/// The registry of every external volume accepted during this run, and the only writer of it.
/// Records are appended in the order volumes are first accepted and are never removed: a volume
/// that leaves stays listed as not mounted and its record is reused when it comes back.
///
/// Creation notes the boot volume, opens the disk-arbitration session, registers the workspace
/// observers and scans the mounted volumes, in that order, so the list holds the external volumes
/// present at start when the constructor returns. Destruction ends the session and the
/// observers: nothing calls into a destroyed monitor.
class VolumeMonitor : public ObservableObject {
public:
    /// Fragments of a device protocol that make a volume virtual, tested in this order.
    static constexpr std::array<std::string_view, 3> virtualProtocols{
        "Disk Image", "Virtual Interface", "File Backed Virtual"};
    /// An unmount approved less than this many seconds before the disk disappeared was the
    /// user's eject.
    static constexpr double userEjectWindowSeconds = 10.0;

    VolumeMonitor(EventLog& eventLog, const WallClock& clock, VolumePorts ports);
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

    /// The record with this id, if any.
    std::optional<WatchedVolume> volume(const std::string& id) const;

    /// The UUID of the file system at "/", noted at creation.
    const std::optional<std::string>& bootVolumeID() const { return bootVolumeID_; }
    /// Whether disk arbitration gave the monitor a session.
    bool hasSession() const { return session_ != nullptr; }

private:
    /// Index of the first record with this id, or -1.
    std::ptrdiff_t indexOf(const std::string& id) const;

    /// Changes one record in place and publishes the list (no copy of it).
    template <class Change> void update(std::size_t index, Change&& change) {
        volumes.modify([&](std::vector<WatchedVolume>& list) { change(list[index]); });
    }

    void setupDiskArbitration();
    void observeWorkspaceNotifications();
    void scanCurrentVolumes();
    void handleWorkspaceMount(const WorkspaceNotification& notification);
    void considerCandidate(const std::string& mountPath);
    bool isUnderMediaRoot(const std::string& path) const;

    void handleDiskAppeared(const Disk& disk);
    void handleDiskDisappeared(const Disk& disk);
    void handleUnmountApproval(const Disk& disk);

    EventLog& eventLog_;
    const WallClock& clock_;
    VolumePorts ports_;
    std::optional<std::string> bootVolumeID_;
    std::map<std::string, std::string> bsdNameToVolumeID_;
    std::map<std::string, WallTime> pendingApprovals_;
    mutable std::unordered_map<std::string, std::size_t> indexHints_; // see indexOf()
    // Declared last so they end first: no callback reaches a half-destroyed monitor.
    std::vector<Subscription> workspaceObservers_;
    std::unique_ptr<DiskSession> session_;
};

} // namespace vornix
