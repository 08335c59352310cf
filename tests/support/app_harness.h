#pragma once

#include "app/app_state.h"

#include "engine_fakes.h"
#include "log_fakes.h"
#include "power_fakes.h"
#include "settings_fakes.h"
#include "virtual_time.h"
#include "volume_fakes.h"

namespace vornix::testing {

/// What the disk service says of each drive, as the test sets it.
class FakeDriveHealth final : public DriveHealthPort {
public:
    std::map<DeviceNumber, DriveHealth> drives;
    std::optional<DriveHealth> health(DeviceNumber device) const override {
        const auto found = drives.find(device);
        return found == drives.end() ? std::nullopt : std::optional(found->second);
    }
    Subscription onHealthChanged(std::function<void()> handler) override {
        changed = std::move(handler);
        return Subscription([this] { changed = nullptr; });
    }
    void set(DeviceNumber device, DriveHealth health) {
        drives[device] = std::move(health);
        changed();
    }
    std::function<void()> changed;
};

/// An AppState over fakes of every port, on virtual time. Writes run as soon as the main
/// queue runs (the worker queue hands them straight back), so a ping is one tick of time.
struct AppHarness {
    VirtualTime time;
    RecordingSystemLog systemLog;
    RecordingNotifier notifier;
    FakeIdleInhibitor power;
    FakeMachinePower machine;
    FakeAutostartPort autostart;
    FakeSettingsStore settings;
    FakeVolumeSystem volumeSystem;
    FakePingFileSystem fileSystem;
    FakeDeviceCounters deviceCounters;
    ManualWorkerQueue workers{time};
    FakeDriveHealth driveHealth;
    std::unique_ptr<AppState> app;

    /// A drive mounted while the application runs, or (`announce` false) before it starts.
    void plugIn(const std::string& uuid, const std::string& name, bool announce = true) {
        volumeSystem.plugIn("/media/user/" + name, externalVolumeValues(name, uuid), "sd" + name,
                            ConnectionBus::usb, announce);
    }

    AppState& create() {
        workers.runImmediately = true;
        app = std::make_unique<AppState>(
            AppPorts{time, systemLog, notifier, power, machine, machine, autostart, settings,
                     volumeSystem.ports(),
                     EnginePorts{time, time, workers, fileSystem, deviceCounters}, &driveHealth});
        return *app;
    }
};

} // namespace vornix::testing
