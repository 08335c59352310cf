#pragma once

#include "platform/linux/block_device_monitor.h"
#include "platform/linux/device_facts.h"
#include "platform/linux/disk_lifecycle.h"
#include "platform/linux/mount_table.h"
#include "volumes/volume_ports.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QSocketNotifier;

namespace vornix::linux_platform {

/// The volume monitor's view of a Linux system: the mount table (libmount) as the catalog of
/// mounted volumes, its changes as mount and rename notifications, and udev block events plus
/// those changes as disk arbitration. Create it on the main thread, which must run a Qt event
/// loop; every notification and callback is delivered there. Nothing polls: it wakes only when
/// the mount table changes or a block-device event arrives.
///
///     LinuxVolumeSystem system;                 // or LinuxVolumeSystem({.mediaRoots = ...})
///     VolumeMonitor monitor(eventLog, clock, system.ports());
///
/// Only mounts under the media roots are reported; others cost the diff of the table and no more.
/// The system must outlive every monitor given its ports.
class LinuxVolumeSystem final : public VolumeCatalog,
                                public WorkspaceNotifications,
                                public DiskArbitration {
public:
    struct Options {
        std::vector<std::string> mediaRoots = removableMediaRoots();
        BlockDeviceMonitor::Source blockEvents = BlockDeviceMonitor::Source::automatic;
        std::string fstab = "/etc/fstab"; // read for "x-gvfs-hide"
    };

    LinuxVolumeSystem();
    explicit LinuxVolumeSystem(Options options);
    ~LinuxVolumeSystem() override;
    LinuxVolumeSystem(const LinuxVolumeSystem&) = delete;
    LinuxVolumeSystem& operator=(const LinuxVolumeSystem&) = delete;

    VolumePorts ports();

    std::optional<std::vector<std::string>> mountedVolumePaths() override;
    std::optional<VolumeResourceValues> resourceValues(const std::string& mountPath) override;
    Subscription observe(WorkspaceNotificationName name,
                         std::function<void(const WorkspaceNotification&)> handler) override;
    /// None when block-device events cannot be received.
    std::unique_ptr<DiskSession> openSession(DiskCallbacks callbacks) override;

    /// The classification of the volume mounted at `mountPath`, if it is in the table.
    std::optional<VolumeClassification> classification(const std::string& mountPath) const;

    struct Counters {
        std::uint64_t mountTableWakeUps = 0;
        std::uint64_t blockEventWakeUps = 0;
        std::uint64_t blockEvents = 0;
    };
    const Counters& counters() const { return counters_; }
    const Options& options() const { return options_; }

    /// Reads the mount table and block events now, as a wake-up would (for callers that must
    /// not wait for the event loop).
    void processPendingChanges();

private:
    class Session;
    // What sessions and subscriptions reach; it outlives the system only as an empty shell, so a
    // session or subscription ended after the system is gone does nothing.
    struct Shared {
        LinuxVolumeSystem* owner = nullptr;
        std::map<int, DiskCallbacks> sessions;
        std::map<int, std::pair<WorkspaceNotificationName,
                                std::function<void(const WorkspaceNotification&)>>>
            observers;
        int next = 0;
    };

    bool underRoot(const std::string& path) const;
    const MountEntry* entryAt(const std::string& mountPath) const;
    std::vector<RootMount> rootMounts() const;
    void onMountTableChanged();
    void onBlockEvents();
    void handleBlockEvents();
    void refreshMountTable();
    void dispatch(const std::vector<VolumeReport>& reports);
    std::optional<Disk> diskAt(const std::string& mountPath) const;

    Options options_;
    DeviceFactsReader facts_;
    DiskLifecycle lifecycle_{facts_};
    MountTableMonitor mountMonitor_;
    BlockDeviceMonitor blockMonitor_;
    std::vector<MountEntry> table_;
    std::shared_ptr<Shared> shared_;
    Counters counters_;
    std::unique_ptr<QSocketNotifier> mountNotifier_;
    std::unique_ptr<QSocketNotifier> blockNotifier_;
};

} // namespace vornix::linux_platform
