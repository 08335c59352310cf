#include "app/drive_trouble_notices.h"

#include "engine/vornix.h"
#include "log/event_log.h"

#include <string>

namespace vornix {

DriveTroubleNotices::DriveTroubleNotices(VolumeMonitor& monitor, DesktopNotifier& notifier)
    : notifier_(notifier) {
    subscription_ = monitor.volumes.subscribe(
        [this](const std::vector<WatchedVolume>& volumes) { follow(volumes); });
}

bool DriveTroubleNotices::isTrouble(VolumeStatus status) {
    switch (status) {
    case VolumeStatus::idle:
    case VolumeStatus::active:
        return false;
    case VolumeStatus::stalled:
    case VolumeStatus::readOnly:
    case VolumeStatus::failed:
    case VolumeStatus::full:
        return true;
    }
    return false;
}

DesktopNotification DriveTroubleNotices::notice(const WatchedVolume& volume) {
    const std::string name =
        "\"" + displayName(volume.name.empty() ? EventLog::fallbackVolumeName : volume.name) + "\"";
    DesktopNotification note{makeUuid(), {}, {}, "device.error", "dialog-warning"};
    switch (volume.status) {
    case VolumeStatus::stalled:
        note.title = "Drive not responding";
        note.body = name + " has not answered a keep-alive ping for " +
                    std::to_string(static_cast<int>(Vornix::stallTimeout)) + " seconds.";
        break;
    case VolumeStatus::readOnly:
        note.title = "Drive is read-only";
        note.body = name + " is mounted read-only, so it cannot be kept awake.";
        break;
    case VolumeStatus::failed:
        note.title = "Keep-alive ping failed";
        note.body = name + " could not be pinged" +
                    (volume.statusDetail.empty() ? "." : ": " + volume.statusDetail + ".");
        break;
    case VolumeStatus::full:
        note.title = "Drive nearly full";
        note.body = name + " has less than " + std::to_string(Vornix::freeSpaceFloor >> 20) +
                    " MB free; pings wait until space is freed.";
        break;
    case VolumeStatus::idle:
    case VolumeStatus::active:
        break;
    }
    return note;
}

void DriveTroubleNotices::follow(const std::vector<WatchedVolume>& volumes) {
    // Runs on every publication of the list, so once per status change: a plain pass by
    // position, no lookups.
    inTrouble_.resize(volumes.size(), false);
    for (std::size_t i = 0; i < volumes.size(); ++i) {
        const auto& volume = volumes[i];
        const bool trouble = isTrouble(volume.status);
        const bool entered = trouble && !inTrouble_[i];
        inTrouble_[i] = trouble;
        if (entered && enabled_ && volume.isWatched && volume.isCurrentlyMounted)
            notifier_.post(notice(volume));
    }
}

} // namespace vornix
