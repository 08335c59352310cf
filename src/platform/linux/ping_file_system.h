#pragma once

#include "core/scheduling.h"
#include "engine/engine_ports.h"

#include <string>

namespace vornix::linux_platform {

/// The blocking write of the ping file at `pingFilePath` (the mount point, a slash and the file
/// name). The mount point is opened first and must still be a mount root: otherwise the volume
/// is gone and nothing is written into whatever file system lies underneath. A symlink, FIFO,
/// device or directory at the file's name is refused without being followed, waited on or
/// written. The 20-byte timestamp goes in at offset 0 without truncating the file, and `fsync`
/// forces it to the medium, with `syncfs` where the file system cannot flush a single file.
/// `success` only once every byte is written and flushed. Thread-safe; keeps no state.
PingResult writeAndFlush(const std::string& pingFilePath);

/// `time` in UTC as "YYYY-MM-DDTHH:MM:SSZ", whole seconds: 20 bytes for years 1000 to 9999.
std::string iso8601(WallTime time);

/// Free space from statvfs (f_bavail × f_frsize), and the write above.
class LinuxPingFileSystem final : public PingFileSystem {
public:
    std::optional<std::int64_t> freeBytes(const std::string& mountPath) const override;
    PingWrite writer() const override { return &writeAndFlush; }
};

} // namespace vornix::linux_platform
