#pragma once

#include "core/observable.h"
#include "log/desktop_notifier.h"
#include "volumes/volume_monitor.h"

#include <cstddef>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace vornix {

/// Tells the user once when a watched drive runs into trouble: one desktop notification each
/// time a watched, mounted volume goes from a healthy status (idle, active) to a troubled one
/// (stalled, readOnly, failed, full, notReaching, fellAsleep). Nothing while it stays in trouble,
/// even when the kind of trouble changes (a drive that hangs and then fails would otherwise be
/// announced every tick), and nothing on the way back. Pings that reach a drive only now and then
/// would announce notReaching over and over: once told, it is told again only after the drive was
/// reached on `reachedBeforeRetelling` pings in a row. A drive found asleep while kept awake
/// (fellAsleep), and one that reports failing, are told at most once per drive in a run: a
/// sleeping drive is found anew every time it dozes off, and a failing one stays failing. Main
/// thread only.
class DriveTroubleNotices {
public:
    static constexpr std::size_t reachedBeforeRetelling = 3;
    /// Pings in a row that reached the volume's drive, as the engine counts them.
    using ReachingStreak = std::function<std::size_t(const WatchedVolume&)>;

    /// `interval`: the ping interval in force, which the notice of a drive that fell asleep
    /// weighs.
    DriveTroubleNotices(VolumeMonitor& monitor, DesktopNotifier& notifier,
                        ReachingStreak reachingStreak, std::function<double()> interval);
    DriveTroubleNotices(const DriveTroubleNotices&) = delete;
    DriveTroubleNotices& operator=(const DriveTroubleNotices&) = delete;

    /// While off, volumes are still followed (so switching on never announces old trouble), but
    /// nothing is shown.
    void setEnabled(bool enabled) { enabled_ = enabled; }

    static bool isTrouble(VolumeStatus status);
    /// The notification for a volume that has just run into the trouble its status names, pinged
    /// every `interval` seconds.
    static DesktopNotification notice(const WatchedVolume& volume, double interval);
    /// The notification for a volume whose drive reports that it is failing.
    static DesktopNotification failingNotice(const WatchedVolume& volume);

private:
    void follow(const std::vector<WatchedVolume>& volumes);
    /// True the first time a drive is named by this run's notices of one kind.
    static bool firstFor(std::set<std::string>& told, const WatchedVolume& volume);

    DesktopNotifier& notifier_;
    ReachingStreak reachingStreak_;
    std::function<double()> interval_;
    bool enabled_ = true;
    std::vector<bool> inTrouble_;       // by position: records are only ever appended
    std::vector<bool> notReachingTold_; // by position, until reached again often enough
    std::vector<bool> failing_;         // likewise
    std::set<std::string> toldAsleep_, toldFailing_; // drives told about in this run
    Subscription subscription_;
};

} // namespace vornix
