#pragma once

#include "app/autostart_manager.h"
#include "app/drive_health.h"
#include "app/drive_trouble_notices.h"
#include "app/settings_store.h"
#include "app/system_power_ports.h"
#include "core/observable.h"
#include "core/scheduling.h"
#include "engine/idle_inhibition.h"
#include "engine/keep_alive_engine.h"
#include "engine/keep_alive_interval.h"
#include "log/event_log.h"
#include "volumes/volume_monitor.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

namespace vornix {

/// Everything the application state needs from the platform, wired by the composition root.
struct AppPorts {
    const WallClock& clock;
    SystemLog& systemLog;
    DesktopNotifier& notifier;
    IdleInhibitor& power;
    SleepSignal& sleep;
    PowerSupply& powerSupply;
    AutostartPort& autostart;
    SettingsStore& settings;
    VolumePorts volumes;
    EnginePorts engine;
    /// None: no drive is ever known to fail.
    DriveHealthPort* driveHealth = nullptr;
};

/// The one object that holds the program together: it creates and owns every service, holds
/// the settings the panel binds to, persists the interval and the exclusions, and carries out
/// every command of the panel. A setting that cannot be saved is recorded as an event and stays
/// in force for this run.
///
/// While keeping awake is on, the engine runs and the idle inhibition is wanted, except that:
/// while the machine prepares to sleep no ping is started, and on waking one pass runs at once
/// with the interval counted from it; with "Pause on battery" chosen, while the machine runs on
/// battery nothing is pinged and the inhibition is given back (the machine may idle to sleep), and
/// back on mains one pass runs at once. What holds the inhibition is recorded once per change:
/// "Sleep prevention started" naming it, "Sleep prevention unavailable" with each service's
/// reason, or "Sleep prevention lost" when its holder left the bus. Main thread only.
class AppState : public ObservableObject {
public:
    static constexpr const char* intervalKey = "keepAliveInterval";
    static constexpr const char* exclusionsKey = "excludedVolumeIDs";
    static constexpr const char* pauseOnBatteryKey = "pauseOnBattery";
    static constexpr const char* troubleNoticesKey = "notifyAboutDriveTrouble";

    explicit AppState(AppPorts ports);
    ~AppState();
    AppState(const AppState&) = delete;
    AppState& operator=(const AppState&) = delete;

    Published<bool> isActive{*this, false};
    Published<double> keepAliveInterval{*this, keep_alive_interval::defaultSeconds};
    Published<bool> launchAtLoginEnabled{*this, false};
    Published<bool> pauseOnBattery{*this, false};
    Published<bool> notifyAboutDriveTrouble{*this, true};
    /// Keeping awake is on, but held back because the machine runs on battery.
    Published<bool> isPausedOnBattery{*this, false};
    /// What holds the idle inhibition while it is wanted; absent while it is not (keeping awake
    /// off or paused on battery) and until the services asked have answered. Published also as
    /// the inhibition is taken or given back.
    Published<std::optional<InhibitionState>> sleepPrevention{*this, std::nullopt};

    /// An inhibition is held or requested (a partial one included).
    bool isSleepPrevented() const;
    /// In one word, for scripts: "off" (not wanted), "asking", or the assurance's name.
    std::string_view sleepPreventionName() const;

    EventLog& eventLog() { return *eventLog_; }
    VolumeMonitor& volumeMonitor() { return *volumeMonitor_; }
    IdleInhibition& idleInhibition() { return *idleInhibition_; }
    KeepAliveEngine& engine() { return *engine_; }
    AutostartManager& autostartManager() { return *autostartManager_; }
    /// The main thread's queue, for views that defer their own work.
    MainQueue& mainQueue() { return mainQueue_; }

    void toggleGlobalActive();
    void toggleVolume(const std::string& id);
    /// Ignores a value the interval rule does not accept.
    void updateInterval(double interval);
    void setLaunchAtLogin(bool enabled);
    void setPauseOnBattery(bool enabled);
    void setNotifyAboutDriveTrouble(bool enabled);
    /// Releases sleep prevention, stops the engine and stops following the machine's power.
    /// Records nothing, leaves `isActive`, and may run any number of times.
    void shutdown();

private:
    void persistExclusions();
    void setExclusions(std::vector<std::string> ids);
    void recordIfNotSaved(const std::optional<SettingsWriteError>& error);
    /// Brings the inhibition and the engine in line with the switch and the machine's power;
    /// `passNow` restarts a running engine so that it pings at once.
    void applyPowerState(bool passNow);
    void inhibitionChanged(InhibitionState now);

    SettingsStore& settings_;
    MainQueue& mainQueue_;
    // Before the services: the volume monitor asks the set as each record is born.
    std::vector<std::string> excluded_; // as stored, in stored order
    std::unordered_set<std::string> excludedSet_;
    std::unique_ptr<IdleInhibition> idleInhibition_;
    std::unique_ptr<AutostartManager> autostartManager_;
    std::unique_ptr<EventLog> eventLog_;
    std::unique_ptr<VolumeMonitor> volumeMonitor_;
    std::unique_ptr<KeepAliveEngine> engine_;
    std::unique_ptr<DriveTroubleNotices> troubleNotices_;
    std::unique_ptr<DriveHealthWatch> driveHealth_;
    bool preparingForSleep_ = false;
    bool onBattery_ = false;
    // What the log last said holds since keeping awake was switched on: the assurance and the
    // surest holder.
    using Holding = std::pair<InhibitionAssurance, std::optional<InhibitionService>>;
    std::optional<Holding> recorded_;
    std::vector<Subscription> powerWatches_; // ended by shutdown(), or before the services
};

} // namespace vornix
