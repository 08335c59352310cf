#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

struct libmnt_monitor;

namespace vornix::linux_platform {

/// One line of the mount table, unescaped.
struct MountEntry {
    int id = 0;
    dev_t device = 0;
    std::string target{};
    std::string source{};
    std::string fsType{};
    std::string options{}; // kernel, file-system and userspace options, comma-separated
    /// False for a mount of a folder within the file system (a bind mount of a subfolder, a
    /// btrfs subvolume): its mount point is not the volume's root.
    bool wholeFileSystem = true;
};

/// This process's mount table, read through libmount; none when it cannot be read. With
/// `userOptions`, the userspace options that mount(8) keeps aside (x-gvfs-hide) are merged in,
/// at the price of reading and matching one more file.
std::optional<std::vector<MountEntry>> readMountTable(bool userOptions = false);

/// Targets of `fstab` entries that carry `option`; empty when the file is missing or unreadable.
std::vector<std::string> fstabTargetsWithOption(const std::string& fstab,
                                                const std::string& option);

/// Tells when this process's mount table changed: its fd becomes readable.
class MountTableMonitor {
public:
    MountTableMonitor();
    ~MountTableMonitor();
    MountTableMonitor(const MountTableMonitor&) = delete;
    MountTableMonitor& operator=(const MountTableMonitor&) = delete;

    /// -1 when the kernel could not be watched; `error()` then says why.
    int fd() const { return fd_; }
    const std::string& error() const { return error_; }
    /// Consumes the pending change notices, so the fd is quiet until the next change.
    void drain();

private:
    struct Deleter {
        void operator()(libmnt_monitor* m) const;
    };
    std::unique_ptr<libmnt_monitor, Deleter> monitor_;
    int fd_ = -1;
    std::string error_;
};

} // namespace vornix::linux_platform
