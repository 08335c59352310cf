#pragma once

#include "engine/engine_ports.h"

#include <optional>
#include <string_view>

namespace vornix::linux_platform {

/// The counters in the text of a sysfs block `stat` file: completed writes (field 5) and, where
/// the kernel has them (since 5.5), completed flushes (field 16). None for fewer than 5 fields.
std::optional<IoCounters> parseBlockStat(std::string_view text);

/// Reads /sys/dev/block/MAJ:MIN/stat: the device itself, a partition or a device-mapper device
/// as mounted, not the disk beneath. None for major 0 (tmpfs, plain FUSE) and where the file
/// cannot be read. Thread-safe; keeps no state.
std::optional<IoCounters> readIoCounters(DeviceNumber device);

class SysfsDeviceCounters final : public DeviceCounters {
public:
    IoCounterRead reader() const override { return &readIoCounters; }
};

} // namespace vornix::linux_platform
