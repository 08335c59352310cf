#pragma once

// What happens to the mounted volumes of devices that may be external, as pure logic: fed with
// those mounts after every change of the mount table, and with the block-device events, it says
// which volumes were mounted, which were moved or changed (a new mount point, a udev "change" of a
// mounted device), which were unmounted while their device stayed, and which lost their device
// while mounted. A device is reported gone once per mounted lifetime, by one of the two
// departures.

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vornix::linux_platform {

/// One mount of a device that may be external, in mount-table order.
struct RootMount {
    int mountId = 0;
    dev_t device = 0; // major 0: no block device (tmpfs, network or plain FUSE)
    std::string target{};

    bool operator==(const RootMount&) const = default;
};

enum class DevicePresence {
    absent,  // no such device in sysfs
    noMedia, // the device is there with size 0: the card was taken out
    present,
};

struct DeviceIdentity {
    std::string kernelName{}; // "sdb1"
    dev_t wholeDisk = 0;      // the disk a partition belongs to; the device itself otherwise
    /// A device-mapper device's: the partitions and disks its slaves lead to, and their disks.
    /// It stays when they go, so their departure is its own.
    std::vector<dev_t> beneath{};
};

/// Reads the state of a device from sysfs at the moment of the call.
class DeviceProbe {
public:
    virtual ~DeviceProbe() = default;
    virtual DevicePresence presence(dev_t device) = 0;
    virtual std::optional<DeviceIdentity> identity(dev_t device) = 0;
};

struct BlockEvent {
    enum class Action { add, change, remove, other };
    Action action = Action::other;
    dev_t device = 0;
    std::string kernelName{};

    bool operator==(const BlockEvent&) const = default;
};

struct VolumeReport {
    enum class Kind { mounted, renamed, unmounted, gone };
    Kind kind = Kind::mounted;
    std::string kernelName{}; // unmounted, gone
    std::string volumePath{}; // mounted, renamed
    dev_t device = 0;

    bool operator==(const VolumeReport&) const = default;
};

class DiskLifecycle {
public:
    explicit DiskLifecycle(DeviceProbe& probe) : probe_(probe) {}

    /// The mounts present at start: known from then on, reported by no one.
    void start(const std::vector<RootMount>& mounts);

    /// The mount table changed. Departures come first (each device that lost its last mount is
    /// unmounted when still there with media, gone otherwise), then new mounts (a device that was
    /// mounted elsewhere before is a rename).
    std::vector<VolumeReport> mountsChanged(const std::vector<RootMount>& mounts);

    /// A block-device event, handled with the device state read now.
    std::vector<VolumeReport> blockEvent(const BlockEvent& event);

    /// Events were lost: every mounted device that is gone or empty now is reported gone.
    std::vector<VolumeReport> resynchronize();

    const std::vector<RootMount>& mounts() const { return mounts_; }
    /// The newest mount point of a device, if one of its mounts is reported.
    std::optional<std::string> mountPointOf(dev_t device) const;

private:
    struct Tracked {
        DeviceIdentity identity;
        bool reportedGone = false;

        /// Whether `other` is the device, its disk, or a device it stands on.
        bool standsOn(dev_t device, dev_t other) const;
    };
    void track(dev_t device);
    /// The device and all it stands on are there, with media.
    bool isPresent(dev_t device, const Tracked& tracked);
    void reportGone(dev_t device, Tracked& tracked, std::vector<VolumeReport>& out,
                    VolumeReport::Kind kind = VolumeReport::Kind::gone);

    DeviceProbe& probe_;
    std::vector<RootMount> mounts_;
    std::map<dev_t, Tracked> devices_; // block devices with at least one mount reported
};

} // namespace vornix::linux_platform
