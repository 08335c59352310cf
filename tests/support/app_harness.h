#pragma once

#include "app/app_state.h"

#include "engine_fakes.h"
#include "log_fakes.h"
#include "power_fakes.h"
#include "settings_fakes.h"
#include "virtual_time.h"
#include "volume_fakes.h"

#include <memory>
#include <string>

namespace vornix::testing {

/// An AppState over fakes of every port, on virtual time. Writes run as soon as the main
/// queue runs (the worker queue hands them straight back), so a ping is one tick of time.
struct AppHarness {
    VirtualTime time;
    RecordingSystemLog systemLog;
    RecordingNotifier notifier;
    FakeIdleInhibitor power;
    FakeLoginItemPort loginItem;
    FakeSettingsStore settings;
    FakeVolumeSystem volumeSystem;
    FakePingFileSystem fileSystem;
    ManualWorkerQueue workers{time};
    std::unique_ptr<AppState> app;

    static std::string mountPathFor(const std::string& name) { return "/media/user/" + name; }

    /// A drive that is mounted before the application starts.
    void presentAtLaunch(const std::string& uuid, const std::string& name) {
        volumeSystem.plugIn(mountPathFor(name), externalVolumeValues(name, uuid), "sd" + name,
                            "USB", /*announce=*/false);
    }

    /// A drive mounted while the application runs.
    void mountLater(const std::string& uuid, const std::string& name) {
        volumeSystem.plugIn(mountPathFor(name), externalVolumeValues(name, uuid), "sd" + name);
    }

    AppState& create() {
        workers.runImmediately = true;
        app = std::make_unique<AppState>(AppPorts{time, systemLog, notifier, power, loginItem,
                                                  settings, volumeSystem.ports(),
                                                  EnginePorts{time, time, workers, fileSystem}});
        return *app;
    }

    /// Ping writes dispatched so far, all volumes or the one with this id.
    int pingCount(const std::string& id = {}) const {
        if (id.empty())
            return static_cast<int>(fileSystem.writes().size());
        const auto volume = app->volumeMonitor().volume(id);
        return volume && volume->mountPath ? fileSystem.writeCount(*volume->mountPath) : 0;
    }
};

} // namespace vornix::testing
