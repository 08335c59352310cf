#include "app/app_state.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <unordered_set>

namespace vornix {

namespace {

std::string secondsText(double seconds) {
    std::array<char, 32> text{};
    const auto end = std::to_chars(text.begin(), text.end(), seconds).ptr;
    return std::string(text.begin(), end) + " s";
}

} // namespace

AppState::AppState(AppPorts ports) : settings_(ports.settings), mainQueue_(ports.engine.mainQueue) {
    // The stored settings first: the monitor's constructor already scans the mounted volumes,
    // and each record it adds is born watched or not by the exclusions. Read once: every later
    // change goes through persistExclusions(), which keeps this copy.
    const auto storedInterval = settings_.readDouble(intervalKey);
    keepAliveInterval = keep_alive_interval::usable(storedInterval);
    setExclusions(settings_.readStringArray(exclusionsKey).value_or(std::vector<std::string>{}));
    pauseOnBattery = settings_.readBool(pauseOnBatteryKey).value_or(false);
    notifyAboutDriveTrouble = settings_.readBool(troubleNoticesKey).value_or(true);

    // The services come to life in a fixed order: each may rely on the ones before it.
    idleInhibition_ = std::make_unique<IdleInhibition>(
        ports.power, [this](const InhibitionState& now) { inhibitionChanged(now); });
    autostartManager_ = std::make_unique<AutostartManager>(ports.autostart);
    eventLog_ = std::make_unique<EventLog>(ports.clock, ports.systemLog, ports.notifier);
    volumeMonitor_ = std::make_unique<VolumeMonitor>(
        *eventLog_, ports.clock, ports.volumes,
        [this](const std::string& id) { return excludedSet_.contains(id); });
    engine_ = std::make_unique<KeepAliveEngine>(*volumeMonitor_, *eventLog_, ports.engine);
    troubleNotices_ = std::make_unique<DriveTroubleNotices>(
        *volumeMonitor_, ports.notifier,
        [this](const WatchedVolume& volume) { return engine_->reachingStreak(volume); },
        [this] { return keepAliveInterval.get(); });

    // A value raised to meet the rule is said, unlike one missing or unreadable. It stays as
    // stored: the file is the user's, and the next choice (panel or bus) replaces it.
    if (storedInterval > 0.0 && keepAliveInterval.get() > *storedInterval)
        eventLog_->record(LogEvent::Kind::intervalRaised, std::nullopt,
                          secondsText(*storedInterval) + " stored, " +
                              secondsText(keepAliveInterval.get()) + " used");
    troubleNotices_->setEnabled(notifyAboutDriveTrouble.get());
    if (ports.driveHealth) // once notices are as chosen: a drive failing at start is told
        driveHealth_ =
            std::make_unique<DriveHealthWatch>(*volumeMonitor_, *eventLog_, *ports.driveHealth);
    onBattery_ = ports.powerSupply.onBattery();
    launchAtLoginEnabled = autostartManager_->status() == AutostartStatus::enabled;

    powerWatches_.push_back(ports.sleep.onPrepareForSleep([this](bool preparing) {
        preparingForSleep_ = preparing;
        applyPowerState(/*passNow=*/!preparing);
    }));
    powerWatches_.push_back(ports.powerSupply.onBatteryChanged([this](bool onBattery) {
        onBattery_ = onBattery;
        applyPowerState(false);
    }));
}

AppState::~AppState() = default;

void AppState::setExclusions(std::vector<std::string> ids) {
    excludedSet_ = std::unordered_set<std::string>(ids.begin(), ids.end());
    excluded_ = std::move(ids);
}

void AppState::toggleGlobalActive() {
    isActive = !isActive.get();
    recorded_.reset(); // switched on, what holds is told anew once the services have answered
    applyPowerState(false);
    if (!isActive.get())
        eventLog_->record(LogEvent::Kind::sleepPreventionStopped, std::nullopt, "");
}

void AppState::inhibitionChanged(InhibitionState now) {
    // A pause on battery and back tells nothing when the same holds as before it.
    const Holding holding{now.assurance,
                          now.holders.empty() ? std::nullopt : std::optional(now.holders.front())};
    if (holding != recorded_) {
        const auto kind = !now.leftTheBus.empty() && recorded_ ? LogEvent::Kind::sleepPreventionLost
                          : now.assurance == InhibitionAssurance::none
                              ? LogEvent::Kind::sleepPreventionUnavailable
                              : LogEvent::Kind::sleepPreventionStarted;
        eventLog_->record(kind, std::nullopt, describe(now));
        recorded_ = holding;
    }
    now.leftTheBus.clear(); // told once
    sleepPrevention = std::move(now);
}

bool AppState::isSleepPrevented() const {
    return sleepPrevention.get() && sleepPrevention.get()->assurance != InhibitionAssurance::none;
}

std::string_view AppState::sleepPreventionName() const {
    if (!idleInhibition_->isWanted())
        return "off";
    return sleepPrevention.get() ? assuranceName(sleepPrevention.get()->assurance) : "asking";
}

void AppState::applyPowerState(bool passNow) {
    const bool paused = isActive.get() && pauseOnBattery.get() && onBattery_;
    if (paused != isPausedOnBattery.get())
        isPausedOnBattery = paused;
    const bool hold = isActive.get() && !paused;
    // Published as it is taken or given back too: readers then see "asking" or "off".
    if (hold != idleInhibition_->isWanted()) {
        hold ? idleInhibition_->acquire() : idleInhibition_->release();
        sleepPrevention = std::nullopt;
    }
    // Starting ticks at once; a timer left running keeps its rhythm.
    if (!hold || preparingForSleep_)
        engine_->stop();
    else if (passNow || !engine_->isRunning())
        engine_->start(keepAliveInterval.get());
}

void AppState::toggleVolume(const std::string& id) {
    const auto volume = volumeMonitor_->volume(id);
    if (!volume)
        return;
    volumeMonitor_->setWatched(id, !volume->isWatched);
    persistExclusions();
}

void AppState::persistExclusions() {
    // The list holds only the volumes seen since start. An exclusion stored for a drive that
    // has not been connected since is the user's choice all the same: it is kept.
    std::unordered_set<std::string> listed;
    std::vector<std::string> ids;
    for (const auto& volume : volumeMonitor_->volumes.get()) {
        listed.insert(volume.id);
        if (!volume.isWatched)
            ids.push_back(volume.id);
    }
    for (const auto& id : excluded_)
        if (!listed.contains(id) && std::find(ids.begin(), ids.end(), id) == ids.end())
            ids.push_back(id);
    recordIfNotSaved(settings_.writeStringArray(exclusionsKey, ids));
    setExclusions(std::move(ids));
}

void AppState::updateInterval(double interval) {
    if (!keep_alive_interval::isUsable(interval))
        return;
    keepAliveInterval = interval;
    recordIfNotSaved(settings_.writeDouble(intervalKey, interval));
    if (isActive.get())
        engine_->setInterval(interval);
}

void AppState::recordIfNotSaved(const std::optional<SettingsWriteError>& error) {
    // The choice stays in force in memory; the store retries it with the next write.
    if (error)
        eventLog_->record(LogEvent::Kind::settingsNotSaved, std::nullopt,
                          error->path + ": " + error->reason);
}

void AppState::setLaunchAtLogin(bool enabled) {
    try {
        autostartManager_->setEnabled(enabled);
    } catch (const AutostartError& error) {
        eventLog_->record(LogEvent::Kind::autostartNotChanged, std::nullopt,
                          std::string("Login item: ") + error.what());
        return;
    }
    launchAtLoginEnabled = autostartManager_->status() == AutostartStatus::enabled;
}

void AppState::setPauseOnBattery(bool enabled) {
    pauseOnBattery = enabled;
    recordIfNotSaved(settings_.writeBool(pauseOnBatteryKey, enabled));
    applyPowerState(false);
}

void AppState::setNotifyAboutDriveTrouble(bool enabled) {
    notifyAboutDriveTrouble = enabled;
    troubleNotices_->setEnabled(enabled);
    recordIfNotSaved(settings_.writeBool(troubleNoticesKey, enabled));
}

void AppState::shutdown() {
    powerWatches_.clear(); // a wake-up during the exit starts nothing again
    idleInhibition_->release();
    engine_->stop();
    if (sleepPrevention.get())
        sleepPrevention = std::nullopt;
}

} // namespace vornix
