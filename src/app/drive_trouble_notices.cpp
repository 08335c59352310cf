#include "app/drive_trouble_notices.h"

#include "engine/keep_alive_engine.h"
#include "log/event_log.h"

#include <array>
#include <string>
#include <utility>

namespace vornix {

// lupdate collects the texts by this macro's name; the layer itself stays free of Qt.
#define QT_TRANSLATE_NOOP(context, text) text

namespace {

constexpr const char* context = "vornix::DriveTroubleNotices";

/// What a notice says about one kind of trouble. The body's "%1" is the volume's name and "%2"
/// what `fact` gives; where that is empty, `bodyWithoutFact` is used instead when there is one.
struct TroubleText {
    VolumeStatus status;
    const char* title;
    const char* body;
    std::string (*fact)(const WatchedVolume&);
    const char* bodyWithoutFact = nullptr;
};

// Every status that is trouble, and only those.
const std::array<TroubleText, 5> troubleTexts{{
    {VolumeStatus::stalled,
     QT_TRANSLATE_NOOP("vornix::DriveTroubleNotices", "Drive not responding"),
     QT_TRANSLATE_NOOP("vornix::DriveTroubleNotices",
                       "\"%1\" has not answered a keep-alive ping for %2 seconds."),
     [](const WatchedVolume&) {
         return std::to_string(static_cast<int>(KeepAliveEngine::stallTimeout));
     }},
    {VolumeStatus::readOnly, QT_TRANSLATE_NOOP("vornix::DriveTroubleNotices", "Drive is read-only"),
     QT_TRANSLATE_NOOP("vornix::DriveTroubleNotices",
                       "\"%1\" is mounted read-only, so it cannot be kept awake."),
     [](const WatchedVolume&) { return std::string(); }},
    {VolumeStatus::failed,
     QT_TRANSLATE_NOOP("vornix::DriveTroubleNotices", "Keep-alive ping failed"),
     QT_TRANSLATE_NOOP("vornix::DriveTroubleNotices", "\"%1\" could not be pinged: %2."),
     [](const WatchedVolume& volume) { return volume.statusDetail; },
     QT_TRANSLATE_NOOP("vornix::DriveTroubleNotices", "\"%1\" could not be pinged.")},
    {VolumeStatus::full, QT_TRANSLATE_NOOP("vornix::DriveTroubleNotices", "Drive nearly full"),
     QT_TRANSLATE_NOOP("vornix::DriveTroubleNotices",
                       "\"%1\" has less than %2 MB free; pings wait until space is freed."),
     [](const WatchedVolume&) { return std::to_string(KeepAliveEngine::freeSpaceFloor >> 20); }},
    {VolumeStatus::notReaching,
     QT_TRANSLATE_NOOP("vornix::DriveTroubleNotices", "Pings not reaching the drive"),
     QT_TRANSLATE_NOOP("vornix::DriveTroubleNotices",
                       "\"%1\" may still spin down: its I/O counters did not move on the last "
                       "two pings, so the writes never reached the drive."),
     [](const WatchedVolume&) { return std::string(); }},
}};

const TroubleText* troubleText(VolumeStatus status) {
    for (const auto& text : troubleTexts)
        if (text.status == status)
            return &text;
    return nullptr;
}

} // namespace

DriveTroubleNotices::DriveTroubleNotices(VolumeMonitor& monitor, DesktopNotifier& notifier,
                                         ReachingStreak reachingStreak)
    : notifier_(notifier), reachingStreak_(std::move(reachingStreak)) {
    subscription_ = monitor.volumes.subscribe(
        [this](const std::vector<WatchedVolume>& volumes) { follow(volumes); });
}

bool DriveTroubleNotices::isTrouble(VolumeStatus status) {
    return troubleText(status) != nullptr;
}

DesktopNotification DriveTroubleNotices::notice(const WatchedVolume& volume) {
    DesktopNotification note{makeUuid(), {}, {}, "device.error", "dialog-warning"};
    const TroubleText* text = troubleText(volume.status);
    if (!text)
        return note;
    const std::string name = volume.name.empty()
                                 ? userText("vornix::EventLog", EventLog::fallbackVolumeName)
                                 : volume.name;
    const std::string shown = displayName(name);
    const std::string fact = text->fact(volume);
    note.title = userText(context, text->title);
    note.body = fact.empty() && text->bodyWithoutFact
                    ? userText(context, text->bodyWithoutFact, {shown})
                    : userText(context, text->body, {shown, fact});
    return note;
}

void DriveTroubleNotices::follow(const std::vector<WatchedVolume>& volumes) {
    // Runs on every publication of the list, so once per status change: a plain pass by
    // position, no lookups.
    inTrouble_.resize(volumes.size(), false);
    notReachingTold_.resize(volumes.size(), false);
    for (std::size_t i = 0; i < volumes.size(); ++i) {
        const auto& volume = volumes[i];
        if (notReachingTold_[i] && reachingStreak_(volume) >= reachedBeforeRetelling)
            notReachingTold_[i] = false;
        const bool trouble = isTrouble(volume.status);
        bool entered = trouble && !inTrouble_[i];
        inTrouble_[i] = trouble;
        if (entered && volume.status == VolumeStatus::notReaching) {
            entered = !notReachingTold_[i];
            notReachingTold_[i] = true;
        }
        if (entered && enabled_ && volume.isWatched && volume.isCurrentlyMounted)
            notifier_.post(notice(volume));
    }
}

} // namespace vornix
