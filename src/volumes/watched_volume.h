#pragma once

#include "core/scheduling.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vornix {

/// The last known keep-alive state of a volume.
/// `failed`: the last ping was refused or failed (EIO, ENOSPC, a file that is not ours at the
/// ping path); the record's `statusDetail` then says why.
/// `notReaching`: the last two pings wrote and flushed, yet the drive's I/O counters did not move,
/// so nothing reached the drive (a cache or a file system that ignores the flush kept it); the
/// drive may still spin down.
/// `fellAsleep`: the drive was found in standby although it had been found active earlier while
/// being kept awake; it stays so, the pings going on, until a ping finds it active again.
enum class VolumeStatus { idle, active, stalled, readOnly, full, failed, notReaching, fellAsleep };

/// The status as scripts and stored files read it: its case name ("idle", "readOnly", ...).
std::string_view statusName(VolumeStatus status);
/// The status whose name is exactly `name`; none for any other text.
std::optional<VolumeStatus> volumeStatusNamed(std::string_view name);

/// The bus a volume's drive is attached by, the outermost one: a SATA disk in a USB enclosure is on
/// USB. `cardReader`: an SD or MMC card in a reader (mmc, sdio). `other`: a bus without a name of
/// its own here, and the devices on none (loop, device-mapper, md).
enum class ConnectionBus {
    usb,
    thunderbolt,
    fireWire,
    cardReader,
    sata,
    nvme,
    scsi,
    virtio,
    other
};

/// The block device a volume lives on, as the kernel numbers it (MAJ:MIN): what the system's own
/// records of the device (its I/O counters, its drive) are found by.
struct DeviceNumber {
    unsigned major = 0;
    unsigned minor = 0;
    auto operator<=>(const DeviceNumber&) const = default;
};

/// A drive's power mode as the drive itself reports it, asked without waking it: spun up (or,
/// for one without platters, in full power), in standby, or not known.
enum class DrivePowerState { unknown, active, standby };

/// "unknown", "active", "standby": the state as scripts read it.
std::string_view powerStateName(DrivePowerState state);

/// One answer of a drive about its power mode.
struct PowerReading {
    DrivePowerState state = DrivePowerState::unknown;
    bool rotates = true; // false for a drive without platters (standby is then "asleep")
    WallTime at{};

    bool operator==(const PowerReading&) const = default;
};

/// The record of one accepted external volume. Compared field by field; identified by `id`.
struct WatchedVolume {
    std::string id{};
    std::string name{};
    // The kernel device name ("sdb1") the volume was last seen on.
    std::optional<std::string> kernelName{};
    /// The block device it was last mounted from.
    std::optional<DeviceNumber> deviceNumber{};
    std::optional<ConnectionBus> connectionProtocol{};
    bool isCurrentlyMounted = false;
    std::optional<std::string> mountPath{}; // mount point, no trailing separator
    bool isWatched = true;
    VolumeStatus status = VolumeStatus::idle;
    std::optional<WallTime> lastPingAt{};
    /// Why the status is what it is, in the system's words (the error text of a failed ping);
    /// empty for the statuses that need no explanation.
    std::string statusDetail{};
    /// What its drive last said of its power mode, asked at the start of a ping; none before the
    /// first ping that asked. Kept while keeping awake is off.
    std::optional<PowerReading> power{};
    /// Names the physical drive the volume lives on (volumes of one drive share it); empty while
    /// unknown.
    std::string drive{};
    /// The drive says of itself that it is failing (its SMART verdict), while mounted.
    bool driveFailing = false;

    bool operator==(const WatchedVolume&) const = default;
};

} // namespace vornix

template <> struct std::hash<vornix::VolumeStatus> {
    std::size_t operator()(vornix::VolumeStatus status) const noexcept {
        return std::hash<std::string_view>{}(vornix::statusName(status));
    }
};
