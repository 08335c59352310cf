#pragma once

#include "platform/linux/disk_lifecycle.h"

#include <memory>
#include <string>
#include <vector>

struct udev;
struct udev_monitor;

namespace vornix::linux_platform {

/// Block-device events from libudev's netlink monitor: after udevd has processed them (the
/// "udev" source), or straight from the kernel where no udevd runs (containers, this sandbox).
class BlockDeviceMonitor {
public:
    enum class Source { automatic, udev, kernel };

    explicit BlockDeviceMonitor(Source source = Source::automatic);
    ~BlockDeviceMonitor();
    BlockDeviceMonitor(const BlockDeviceMonitor&) = delete;
    BlockDeviceMonitor& operator=(const BlockDeviceMonitor&) = delete;

    /// -1 when no monitor could be opened; `error()` then says why.
    int fd() const { return fd_; }
    const std::string& error() const { return error_; }
    /// The source in use (automatic resolved).
    Source source() const { return source_; }

    struct Drained {
        std::vector<BlockEvent> events;
        bool overflowed = false; // the socket dropped events: state must be read again
    };
    /// Every event waiting, in order; never blocks.
    Drained drain();

    /// Where udevd runs, its control socket exists.
    static bool udevdRunning();

private:
    struct UdevDeleter {
        void operator()(struct udev* u) const;
    };
    struct MonitorDeleter {
        void operator()(struct udev_monitor* m) const;
    };
    std::unique_ptr<struct udev, UdevDeleter> udev_;
    std::unique_ptr<struct udev_monitor, MonitorDeleter> monitor_;
    Source source_;
    int fd_ = -1;
    std::string error_;
};

} // namespace vornix::linux_platform
