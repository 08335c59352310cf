#pragma once

#include "core/observable.h"
#include "log/desktop_notifier.h"
#include "volumes/volume_monitor.h"

#include <vector>

namespace vornix {

/// Tells the user once when a watched drive runs into trouble: one desktop notification each
/// time a watched, mounted volume goes from a healthy status (idle, active) to a troubled one
/// (stalled, readOnly, failed, full). Nothing while it stays in trouble, even when the kind of
/// trouble changes (a drive that hangs and then fails would otherwise be announced every tick),
/// and nothing on the way back. Main thread only.
class DriveTroubleNotices {
public:
    DriveTroubleNotices(VolumeMonitor& monitor, DesktopNotifier& notifier);
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
    bool enabled_ = true;
    std::vector<bool> inTrouble_; // by position: records are only ever appended
    Subscription subscription_;
};

} // namespace vornix
