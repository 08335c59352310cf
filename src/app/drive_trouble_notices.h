#pragma once

#include "core/observable.h"
#include "log/desktop_notifier.h"
#include "volumes/volume_monitor.h"

#include <cstddef>
#include <functional>
#include <vector>

namespace vornix {

/// Tells the user once when a watched drive runs into trouble: one desktop notification each
/// time a watched, mounted volume goes from a healthy status (idle, active) to a troubled one
/// (stalled, readOnly, failed, full, notReaching). Nothing while it stays in trouble, even when the
/// kind of trouble changes (a drive that hangs and then fails would otherwise be announced every
/// tick), and nothing on the way back. Pings that reach a drive only now and then would announce
/// notReaching over and over: once told, it is told again only after the drive was reached on
/// `reachedBeforeRetelling` pings in a row. Main thread only.
class DriveTroubleNotices {
public:
    static constexpr std::size_t reachedBeforeRetelling = 3;
    /// Pings in a row that reached the volume's drive, as the engine counts them.
    using ReachingStreak = std::function<std::size_t(const WatchedVolume&)>;

    DriveTroubleNotices(VolumeMonitor& monitor, DesktopNotifier& notifier,
                        ReachingStreak reachingStreak);
    DriveTroubleNotices(const DriveTroubleNotices&) = delete;
    DriveTroubleNotices& operator=(const DriveTroubleNotices&) = delete;

    /// While off, volumes are still followed (so switching on never announces old trouble), but
    /// nothing is shown.
    void setEnabled(bool enabled) { enabled_ = enabled; }

    static bool isTrouble(VolumeStatus status);
    /// The notification for a volume that has just run into the trouble its status names.
    static DesktopNotification notice(const WatchedVolume& volume);

private:
    void follow(const std::vector<WatchedVolume>& volumes);

    DesktopNotifier& notifier_;
    ReachingStreak reachingStreak_;
    bool enabled_ = true;
    std::vector<bool> inTrouble_;       // by position: records are only ever appended
    std::vector<bool> notReachingTold_; // by position, until reached again often enough
    Subscription subscription_;
};

} // namespace vornix
