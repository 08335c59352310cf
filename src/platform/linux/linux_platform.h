#pragma once

#include "app/app_state.h"
#include "engine/worker_pool.h"
#include "platform/linux/dbus_desktop_notifier.h"
#include "platform/linux/dbus_idle_inhibitor.h"
#include "platform/linux/dbus_power_signals.h"
#include "platform/linux/device_io_counters.h"
#include "platform/linux/journal_system_log.h"
#include "platform/linux/linux_volume_system.h"
#include "platform/linux/ping_file_system.h"
#include "platform/linux/qt_main_queue.h"
#include "platform/linux/qt_settings_store.h"
#include "platform/linux/udisks_drives.h"
#include "platform/linux/xdg_autostart_entry.h"

namespace vornix::linux_platform {

/// The composition root: the real Linux adapters behind every port, built on the main thread
/// (which runs the Qt event loop) and kept for the life of the program. It must outlive the
/// AppState built on its ports. Members are declared in the order they may be torn down in
/// reverse: the worker pool goes before the main queue it posts to.
class LinuxPlatform {
public:
    struct Options {
        QString settingsPath = QtSettingsStore::defaultPath();
        LinuxVolumeSystem::Options volumes{};
        bool desktopSession = true; // false without a display (--headless)
    };

    LinuxPlatform();
    explicit LinuxPlatform(Options options);
    LinuxPlatform(const LinuxPlatform&) = delete;
    LinuxPlatform& operator=(const LinuxPlatform&) = delete;

    AppPorts ports();

    WorkerPool& workers() { return workers_; }

private:
    QtMainQueue mainQueue_;
    SystemWallClock clock_;
    JournalSystemLog systemLog_;
    DBusDesktopNotifier notifier_;
    DBusIdleInhibitor inhibitor_;
    LogindSleepSignal sleepSignal_;
    UPowerSupply powerSupply_;
    UDisksDrives drives_;
    XdgAutostartEntry autostart_;
    QtSettingsStore settings_;
    LinuxVolumeSystem volumes_;
    LinuxPingFileSystem pingFileSystem_;
    SysfsDeviceCounters deviceCounters_;
    WorkerPool workers_;
};

} // namespace vornix::linux_platform
