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

/// The volume system of Linux: the mount table (libmount) for what is mounted and when it
/// changes, udev block events and sysfs for what happens to the devices. Create it on the main
/// thread, which must run a Qt event loop; every event is delivered there. Nothing polls: it wakes
/// only when the mount table changes or a block-device event arrives, and nothing it does touches
/// a mount path (mountinfo, udev and sysfs only; libblkid reads a device node where the udev
/// database has no record of it).
///
///     LinuxVolumeSystem system;
///     VolumeMonitor monitor(eventLog, clock, system.ports());
///
/// Mounts are reported wherever they are, by what their device is: a block device not known to be
/// internal (the boot disk, a fixed disk, a loop or mapper device shown as itself), mounted from
/// its file system's root (a bind mount of a folder on a drive is not the drive). A mapper device
/// whose slaves lead to external disks alone (LUKS, LVM) is shown as the first of them. Mounts
/// without a block device cost the diff of the table and no more; a block device's facts are read
/// once per mount. The system must outlive every monitor given its ports.
class LinuxVolumeSystem final : public VolumeSystem {
public:
    struct Options {
        BlockDeviceMonitor::Source blockEvents = BlockDeviceMonitor::Source::automatic;
        std::string fstab = "/etc/fstab"; // read for "x-gvfs-hide"
    };

    LinuxVolumeSystem();
    explicit LinuxVolumeSystem(Options options);
    ~LinuxVolumeSystem() override;
    LinuxVolumeSystem(const LinuxVolumeSystem&) = delete;
    LinuxVolumeSystem& operator=(const LinuxVolumeSystem&) = delete;

    VolumePorts ports();

    std::optional<std::string> rootFileSystemUuid() override;
    std::optional<std::vector<MountedVolume>> mountedVolumes() override;
    Subscription watch(std::function<void(const VolumeEvent&)> handler) override;
    std::vector<WatchFailure> watchFailures() override;

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
    // What subscriptions reach; it outlives the system only as an empty shell, so a
    // subscription ended after the system is gone does nothing.
    struct Shared {
        std::map<int, std::function<void(const VolumeEvent&)>> watchers;
        int next = 0;
    };

    const MountEntry* entryAt(const std::string& mountPath) const;
    VolumeClassification classify(const MountEntry& entry) const;
    /// The mounts of devices that may be external, in table order; remembers each verdict by
    /// mount for the next diff.
    std::vector<RootMount> candidateMounts();
    void onMountTableChanged();
    void onBlockEvents();
    void handleBlockEvents();
    void refreshMountTable();
    void dispatch(const std::vector<VolumeReport>& reports);

    Options options_;
    DeviceFactsReader facts_;
    DiskLifecycle lifecycle_{facts_};
    MountTableMonitor mountMonitor_;
    BlockDeviceMonitor blockMonitor_;
    std::vector<MountEntry> table_;
    std::vector<dev_t> bootDisks_; // the disks holding "/", those beneath device-mapper too
    std::map<int, std::pair<dev_t, bool>> verdicts_; // by mount id: its device, may be external
    std::shared_ptr<Shared> shared_;
    Counters counters_;
    std::unique_ptr<QSocketNotifier> mountNotifier_;
    std::unique_ptr<QSocketNotifier> blockNotifier_;
};

} // namespace vornix::linux_platform
