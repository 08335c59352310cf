#pragma once

// What the volume monitor needs from the system, in the terms Linux knows it: the mounted volumes
// of block devices with the facts of those devices, and what happens to them. Every handler is
// called on the main thread.

#include "core/observable.h"
#include "volumes/watched_volume.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vornix {

/// One mounted volume and what the system knows of its device. Any fact may be unknown: an
/// unknown boolean is neither true nor false.
struct MountedVolume {
    std::string mountPath{}; // mount point, no trailing separator
    std::optional<std::string> name{};
    std::optional<bool> isRemovable{};         // its media can be taken out of the drive
    std::optional<bool> isHotPluggable{};      // on a bus whose devices come and go while running
    std::optional<bool> isNetworkFileSystem{}; // by the file system's type
    std::optional<std::string> uuid{};         // the file system's
    std::optional<bool> isInternal{};
    std::optional<std::string> kernelName{};    // kernel device name, "sdb1"
    std::optional<DeviceNumber> deviceNumber{}; // the one mounted, as the mount table gives it
    std::optional<ConnectionBus> bus{};
    /// A loop device shown as itself, or a device-mapper, md, nbd, zram or ram device that does
    /// not stand on external drives alone.
    std::optional<bool> isVirtual{};
    /// What tells this device from a byte-for-byte copy with the same UUID (disk serial and
    /// partition, or partition UUID); the same for the same device across restarts.
    std::optional<std::string> hardwareKey{};

    bool operator==(const MountedVolume&) const = default;
};

/// Something that happened to a mounted volume.
struct VolumeEvent {
    enum class Kind {
        mounted,                // a new mount; `volume` holds its facts
        renamed,                // a known device at a new mount point or with a new label
        unmountedDevicePresent, // the mount left while its device is still there with media
        deviceGoneWhileMounted, // the device (or its media) went away while mounted
    };
    Kind kind = Kind::mounted;
    /// All facts for mounted and renamed; the two departures carry `kernelName` alone.
    MountedVolume volume{};
};

/// A source of volume events that could not be opened: what it would have reported is never seen.
struct WatchFailure {
    enum class Source {
        mountTable,   // mounts, unmounts and renames
        blockDevices, // devices added, changed, removed (pulled cables, emptied card readers)
    };
    Source source = Source::mountTable;
    std::string reason{}; // the system's error text

    bool operator==(const WatchFailure&) const = default;
};

/// The mounted volumes and their events. Each device is reported gone at most once per mounted
/// lifetime, by one of the two departures.
class VolumeSystem {
public:
    virtual ~VolumeSystem() = default;
    /// UUID of the file system mounted at "/"; none when unknown.
    virtual std::optional<std::string> rootFileSystemUuid() = 0;
    /// The mounted volumes of block devices that may be external (the system need not report the
    /// ones it knows are not), hidden ones left out, in mount order. None when the system cannot
    /// say.
    virtual std::optional<std::vector<MountedVolume>> mountedVolumes() = 0;
    /// Calls `handler` on the main thread for every event until the subscription ends.
    [[nodiscard]] virtual Subscription watch(std::function<void(const VolumeEvent&)> handler) = 0;
    /// The sources of events that could not be opened when the system was set up; empty when every
    /// change will be seen.
    virtual std::vector<WatchFailure> watchFailures() = 0;
};

/// The system as the volume monitor sees it; it must outlive the monitor. Where a volume is
/// mounted does not make it a candidate: what its device is does.
struct VolumePorts {
    VolumeSystem& system;
};

} // namespace vornix
