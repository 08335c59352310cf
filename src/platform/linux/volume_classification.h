#pragma once

// From what Linux knows about a mount and its block device to the facts the volume monitor
// judges: pure functions, so every rule can be checked without a kernel.

#include "volumes/volume_ports.h"

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vornix::linux_platform {

/// What sysfs and the udev database (or libblkid) say about one block device.
struct BlockDeviceFacts {
    std::string kernelName{};            // "sdb1"
    std::string devpath{};               // "/devices/pci0000:00/.../block/sdb/sdb1"
    std::vector<std::string> busChain{}; // subsystems of the ancestors, nearest first
    bool removableAncestor = false;      // a PCI ancestor reports itself "removable"
    std::optional<bool> removable{};     // the whole disk's sysfs "removable"
    std::optional<std::string> fsUuid{};
    std::optional<std::string> fsLabel{};
    bool udisksIgnore = false;                  // UDISKS_IGNORE=1
    std::optional<std::string> serial{};        // the disk's (ID_SERIAL_SHORT or sysfs "serial")
    std::optional<std::string> partition{};     // sysfs "partition": its number on the disk
    std::optional<std::string> partitionUuid{}; // ID_PART_ENTRY_UUID
    dev_t wholeDisk = 0;                        // the disk a partition is on; else the device
    bool onBootDisk = false;                    // that disk holds the root file system
    /// A device-mapper device's only: the devices its slaves/ lead to, through other
    /// device-mapper devices (LVM on LUKS), in name order; without their file systems.
    std::vector<BlockDeviceFacts> beneath{};
};

/// One line of the mount table.
struct MountFacts {
    std::string target{};
    std::string fsType{};
    std::string options{}; // comma-separated: kernel, file-system and userspace options
};

struct VolumeClassification {
    MountedVolume volume{};
    bool hidden = false;

    bool operator==(const VolumeClassification&) const = default;
};

/// The facts and hidden flag of a mount. `device` is absent for mounts without a block device (or
/// whose device is already gone): its booleans are then unknown.
VolumeClassification classifyVolume(const MountFacts& mount,
                                    const std::optional<BlockDeviceFacts>& device);

/// The outermost bus of the device; `other` for a virtual one.
ConnectionBus connectionBus(const BlockDeviceFacts& device);

/// Loop devices shown as themselves, device-mapper, md, nbd, zram, ram: what sysfs keeps under
/// /devices/virtual.
bool isVirtualDevice(const BlockDeviceFacts& device);

/// Whose facts describe the drive a volume lives on: for a device-mapper device whose slaves lead
/// to external disks only (an encrypted or LVM backup disk), the first of those disks; else the
/// device itself.
const BlockDeviceFacts& driveOf(const BlockDeviceFacts& device);

/// What tells the device from a clone: "<disk serial>-part<N>" (by-id style), else the partition
/// UUID (a whole-disk copy shares it, a copied partition does not); none when neither is known.
std::optional<std::string> hardwareKey(const BlockDeviceFacts& device);

/// Whether the device hangs off a bus whose devices come and go while the machine runs.
bool isOnHotPluggableBus(const BlockDeviceFacts& device);

/// Network file systems, FUSE ones included ("fuse.sshfs").
bool isNetworkFileSystem(std::string_view fsType);

/// Whether the comma-separated `options` hold `name` (alone or as "name=value").
bool hasMountOption(std::string_view options, std::string_view name);

/// Undoes udev's "\xNN" escapes (ID_FS_LABEL_ENC); malformed escapes are kept as they are.
std::string decodeUdevEscapes(std::string_view encoded);

} // namespace vornix::linux_platform
