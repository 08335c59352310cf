#pragma once

#include "app/login_item_manager.h"
#include "app/settings_store.h"
#include "core/observable.h"
#include "core/scheduling.h"
#include "engine/keep_alive_interval.h"
#include "engine/power_assertion_manager.h"
#include "engine/vornix.h"
#include "log/event_log.h"
#include "volumes/volume_monitor.h"

#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

namespace vornix {

/// Everything the application state needs from the platform, wired by the composition root.
struct AppPorts {
    const WallClock& clock;
    SystemLog& systemLog;
    DesktopNotifier& notifier;
    IdleInhibitor& power;
    LoginItemPort& loginItem;
    SettingsStore& settings;
    VolumePorts volumes;
    EnginePorts engine;
};

/// The one object that holds the program together: it creates and owns every service, holds
/// the settings the panel binds to, persists the interval and the exclusions, and carries out
/// every command of the panel. A setting that cannot be saved is recorded as an event and stays
/// in force for this run. Main thread only.
class AppState : public ObservableObject {
public:
    static constexpr const char* intervalKey = "keepAliveInterval";
    static constexpr const char* exclusionsKey = "excludedVolumeIDs";

    explicit AppState(AppPorts ports);
    ~AppState();
    AppState(const AppState&) = delete;
    AppState& operator=(const AppState&) = delete;

    Published<bool> isActive{*this, false};
    Published<double> keepAliveInterval{*this, keep_alive_interval::defaultSeconds};
    Published<bool> launchAtLoginEnabled{*this, false};

    EventLog& eventLog() { return *eventLog_; }
    VolumeMonitor& volumeMonitor() { return *volumeMonitor_; }
    PowerAssertionManager& powerAssertionManager() { return *powerAssertionManager_; }
    Vornix& vornix() { return *vornix_; }
    LoginItemManager& loginItemManager() { return *loginItemManager_; }
    /// The main thread's queue, for views that defer their own work.
    MainQueue& mainQueue() { return mainQueue_; }

    void toggleGlobalActive();
    void toggleVolume(const std::string& id);
    /// Ignores a value the interval rule does not accept.
    void updateInterval(double interval);
    void setLaunchAtLogin(bool enabled);
    /// Releases sleep prevention and stops the engine. Records nothing, leaves `isActive`, and
    /// may run any number of times.
    void shutdown();

private:
    void applyPersistedExclusions(const std::vector<WatchedVolume>& volumes);
    void persistExclusions(const std::vector<WatchedVolume>& volumes);
    void setExclusions(std::vector<std::string> ids);
    void recordIfNotSaved(const std::optional<SettingsWriteError>& error);

    SettingsStore& settings_;
    MainQueue& mainQueue_;
    std::unique_ptr<PowerAssertionManager> powerAssertionManager_;
    std::unique_ptr<LoginItemManager> loginItemManager_;
    std::unique_ptr<EventLog> eventLog_;
    std::unique_ptr<VolumeMonitor> volumeMonitor_;
    std::unique_ptr<Vornix> vornix_;
    std::vector<std::string> excluded_; // as stored, in stored order
    std::unordered_set<std::string> excludedSet_;
    std::size_t exclusionsChecked_ = 0; // records of the volume list applyPersistedExclusions saw
    std::vector<Subscription> cancellables_; // released first, before the services
};

} // namespace vornix
