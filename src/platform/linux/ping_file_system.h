#pragma once

#include "core/scheduling.h"
#include "engine/engine_ports.h"

#include <string>

namespace vornix::linux_platform {

/// The blocking write of the ping file at `pingFilePath` (the mount point, a slash and the file
/// name). The mount point is opened first and must still be a mount root: otherwise the volume
/// is gone and nothing is written into whatever file system lies underneath. Anything at the
/// file's name but a regular file with one link on the mount's own file system (a symlink,
/// hard link, FIFO, device, directory, or a file mounted over it) is refused without being
/// followed, waited on or written, as a failure whose message says what stands there. The
/// 20-byte timestamp goes in at offset 0 without truncating the file, and `fsync` forces it to
/// the medium, with `syncfs` where the file system cannot flush a single file. `success` only
/// once every byte is written and flushed. Thread-safe; keeps no state.
PingResult writeAndFlush(const std::string& pingFilePath);

/// Free space from statvfs (f_bavail × f_frsize); none when statvfs fails. Blocks while the
/// file system answers.
std::optional<std::int64_t> availableBytes(const std::string& mountPath);

/// `time` in UTC as "YYYY-MM-DDTHH:MM:SSZ", whole seconds: 20 bytes for years 1000 to 9999.
std::string iso8601(WallTime time);

class LinuxPingFileSystem final : public PingFileSystem {
public:
    FreeSpaceQuery freeSpace() const override { return &availableBytes; }
    PingWrite writer() const override { return &writeAndFlush; }
};

} // namespace vornix::linux_platform
