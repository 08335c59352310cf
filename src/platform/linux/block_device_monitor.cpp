#include "platform/linux/block_device_monitor.h"

#include "platform/linux/diagnostics.h"

#include <libudev.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vornix::linux_platform {

namespace {

BlockEvent::Action actionOf(const char* action) {
    if (!action)
        return BlockEvent::Action::other;
    if (std::strcmp(action, "add") == 0)
        return BlockEvent::Action::add;
    if (std::strcmp(action, "change") == 0)
        return BlockEvent::Action::change;
    if (std::strcmp(action, "remove") == 0)
        return BlockEvent::Action::remove;
    return BlockEvent::Action::other;
}

} // namespace

void BlockDeviceMonitor::UdevDeleter::operator()(struct udev* u) const {
    udev_unref(u);
}
void BlockDeviceMonitor::MonitorDeleter::operator()(struct udev_monitor* m) const {
    udev_monitor_unref(m);
}

bool BlockDeviceMonitor::udevdRunning() {
    return access("/run/udev/control", F_OK) == 0;
}

BlockDeviceMonitor::BlockDeviceMonitor(Source source) : udev_(udev_new()), source_(source) {
    if (source_ == Source::automatic)
        source_ = udevdRunning() ? Source::udev : Source::kernel;
    if (udev_)
        monitor_.reset(udev_monitor_new_from_netlink(udev_.get(),
                                                     source_ == Source::udev ? "udev" : "kernel"));
    if (!monitor_) {
        error_ = systemErrorText(errno);
        return;
    }
    // A burst of events (a hub with many disks) must not overflow the socket.
    udev_monitor_set_receive_buffer_size(monitor_.get(), 4 * 1024 * 1024);
    int result = udev_monitor_filter_add_match_subsystem_devtype(monitor_.get(), "block", nullptr);
    if (result >= 0)
        result = udev_monitor_enable_receiving(monitor_.get());
    if (result < 0) {
        error_ = systemErrorText(-result);
        monitor_.reset();
        return;
    }
    fd_ = udev_monitor_get_fd(monitor_.get());
}

BlockDeviceMonitor::~BlockDeviceMonitor() = default;

BlockDeviceMonitor::Drained BlockDeviceMonitor::drain() {
    Drained drained;
    if (!monitor_)
        return drained;
    for (;;) {
        errno = 0;
        udev_device* device = udev_monitor_receive_device(monitor_.get());
        if (!device) {
            // libudev gives up silently on messages it skips (other subsystems, bad senders)
            // and on an empty socket; only a lost message needs the caller's attention.
            if (errno == ENOBUFS) {
                drained.overflowed = true;
                continue;
            }
            break; // empty (EAGAIN), or an error that retrying would only repeat
        }
        BlockEvent event;
        event.action = actionOf(udev_device_get_action(device));
        event.device = udev_device_get_devnum(device);
        if (const char* name = udev_device_get_sysname(device))
            event.kernelName = name;
        udev_device_unref(device);
        if (event.device != 0)
            drained.events.push_back(std::move(event));
    }
    return drained;
}

} // namespace vornix::linux_platform
