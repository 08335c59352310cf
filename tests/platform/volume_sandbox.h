#pragma once

// Real mounts for the volume system tests, inside the test process's own mount namespace (the
// test's main enters one before anything runs), so nothing is seen or left behind on the host.

#include "scratch_mounts.h"

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace vornix::testing {

/// As root, enters a private mount namespace and executes this program again in it with the
/// sysfs shim preloaded; returns only where that cannot be done (or was done already).
void enterSandbox(char** argv);

/// Why the sandbox cannot run here, or none when it can.
std::optional<std::string> sandboxUnavailable();

/// Runs a program with its output discarded; returns its exit status (-1: did not run).
int run(const std::vector<std::string>& argv);

/// A mount made with mount(2), so without a utab entry.
void mountOrThrow(const std::string& source, const std::string& target, const std::string& type,
                  const std::string& data = {});

/// A sparse file attached to a free loop device; detached at destruction.
class LoopDevice {
public:
    explicit LoopDevice(const std::string& image);
    ~LoopDevice();
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;

    const std::string& node() const { return node_; } // "/dev/loop5"
    std::string name() const;                         // "loop5"
    dev_t device() const { return device_; }
    /// A synthetic uevent ("add", "change", "remove") for this device, as the kernel sends it.
    void uevent(const std::string& action) const;

private:
    int index_ = -1;
    int fd_ = -1;
    std::string node_;
    dev_t device_ = 0;
};

/// Makes loop devices look, to libudev, like disks on a USB bus: a device tree fabricated on a
/// tmpfs inside /sys, and /sys/dev/block repointed at it. The production rules are unchanged.
class FakeUsbSysfs {
public:
    FakeUsbSysfs();
    ~FakeUsbSysfs();
    /// The loop device now reads as a removable=0 USB disk named after it.
    void showAsUsb(const LoopDevice& loop, unsigned long long sizeSectors);
    /// The loop device reads as what it is.
    void showAsLoop(const LoopDevice& loop);

private:
    void link(dev_t device, const std::string& target);
};

} // namespace vornix::testing
