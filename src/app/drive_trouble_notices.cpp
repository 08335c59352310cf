#include "app/drive_trouble_notices.h"

#include "engine/keep_alive_engine.h"
#include "log/event_log.h"

#include <string>

namespace vornix {

// lupdate collects the texts by this macro's name; the layer itself stays free of Qt.
#define QT_TRANSLATE_NOOP(context, text) text

namespace {
constexpr const char* context = "vornix::DriveTroubleNotices";
}

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
    const std::string name = volume.name.empty()
                                 ? userText("vornix::EventLog", EventLog::fallbackVolumeName)
                                 : volume.name;
    const std::string shown = displayName(name);
    DesktopNotification note{makeUuid(), {}, {}, "device.error", "dialog-warning"};
    switch (volume.status) {
    case VolumeStatus::stalled:
        note.title = userText(
            context, QT_TRANSLATE_NOOP("vornix::DriveTroubleNotices", "Drive not responding"));
        note.body =
            userText(context,
                     QT_TRANSLATE_NOOP("vornix::DriveTroubleNotices",
                                       "\"%1\" has not answered a keep-alive ping for %2 seconds."),
                     {shown, std::to_string(static_cast<int>(KeepAliveEngine::stallTimeout))});
        break;
    case VolumeStatus::readOnly:
        note.title = userText(
            context, QT_TRANSLATE_NOOP("vornix::DriveTroubleNotices", "Drive is read-only"));
        note.body =
            userText(context,
                     QT_TRANSLATE_NOOP("vornix::DriveTroubleNotices",
                                       "\"%1\" is mounted read-only, so it cannot be kept awake."),
                     {shown});
        break;
    case VolumeStatus::failed:
        note.title = userText(
            context, QT_TRANSLATE_NOOP("vornix::DriveTroubleNotices", "Keep-alive ping failed"));
        note.body = volume.statusDetail.empty()
                        ? userText(context,
                                   QT_TRANSLATE_NOOP("vornix::DriveTroubleNotices",
                                                     "\"%1\" could not be pinged."),
                                   {shown})
                        : userText(context,
                                   QT_TRANSLATE_NOOP("vornix::DriveTroubleNotices",
                                                     "\"%1\" could not be pinged: %2."),
                                   {shown, volume.statusDetail});
        break;
    case VolumeStatus::full:
        note.title = userText(
            context, QT_TRANSLATE_NOOP("vornix::DriveTroubleNotices", "Drive nearly full"));
        note.body = userText(
            context,
            QT_TRANSLATE_NOOP("vornix::DriveTroubleNotices",
                              "\"%1\" has less than %2 MB free; pings wait until space is freed."),
            {shown, std::to_string(KeepAliveEngine::freeSpaceFloor >> 20)});
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
