#pragma once

#include "platform/linux/disk_lifecycle.h"
#include "platform/linux/volume_classification.h"

#include <sys/types.h>

#include <memory>
#include <optional>

struct udev;

namespace vornix::linux_platform {

/// Reads block-device facts by device number from sysfs and the udev database, with libblkid
/// for UUID and label where the database has no record of the device (containers, no udevd).
class DeviceFactsReader final : public DeviceProbe {
public:
    DeviceFactsReader();
    ~DeviceFactsReader() override;
    DeviceFactsReader(const DeviceFactsReader&) = delete;
    DeviceFactsReader& operator=(const DeviceFactsReader&) = delete;

    /// None when the device does not exist (any more) or udev is unavailable.
    std::optional<BlockDeviceFacts> read(dev_t device) const;

    DevicePresence presence(dev_t device) override;
    std::optional<DeviceIdentity> identity(dev_t device) override;

private:
    struct UdevDeleter {
        void operator()(struct udev* u) const;
    };
    std::unique_ptr<struct udev, UdevDeleter> udev_;
};

/// UUID and label of the file system on `devnode`, probed by libblkid; absent parts unknown.
struct ProbedFileSystem {
    std::optional<std::string> uuid;
    std::optional<std::string> label;
};
ProbedFileSystem probeFileSystem(const std::string& devnode);

} // namespace vornix::linux_platform
