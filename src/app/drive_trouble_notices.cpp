#include "app/drive_trouble_notices.h"

#include "engine/keep_alive_engine.h"
#include "log/event_log.h"

#include <algorithm>
#include <array>
#include <string>
#include <utility>

namespace vornix {

// lupdate collects the texts by this macro's name; the layer itself stays free of Qt.
#define QT_TRANSLATE_NOOP(context, text) text

namespace {

constexpr const char* context = "vornix::DriveTroubleNotices";

/// What a notice says about one kind of trouble. The body's "%1" is the volume's name, "%2" what
/// `fact` gives and "%3" the ping interval in seconds; where the fact is empty, `bodyWithoutFact`
/// is used instead when there is one.
struct TroubleText {
    VolumeStatus status;
    const char* title;
    const char* body;
    std::string (*fact)(const WatchedVolume&, double interval);
    const char* bodyWithoutFact = nullptr;
};

std::string wholeSeconds(double seconds) {
    return std::to_string(static_cast<long long>(seconds));
}

// Every status that is trouble, and only those.
const std::array<TroubleText, 6> troubleTexts{{
    {VolumeStatus::stalled,
     QT_TRANSLATE_NOOP("vornix::DriveTroubleNotices", "Drive not responding"),
     QT_TRANSLATE_NOOP("vornix::DriveTroubleNotices",
                       "\"%1\" has not answered a keep-alive ping for %2 seconds."),
     [](const WatchedVolume&, double) { return wholeSeconds(KeepAliveEngine::stallTimeout); }},
    {VolumeStatus::readOnly, QT_TRANSLATE_NOOP("vornix::DriveTroubleNotices", "Drive is read-only"),
     QT_TRANSLATE_NOOP("vornix::DriveTroubleNotices",
                       "\"%1\" is mounted read-only, so it cannot be kept awake."),
     [](const WatchedVolume&, double) { return std::string(); }},
    {VolumeStatus::failed,
     QT_TRANSLATE_NOOP("vornix::DriveTroubleNotices", "Keep-alive ping failed"),
     QT_TRANSLATE_NOOP("vornix::DriveTroubleNotices", "\"%1\" could not be pinged: %2."),
     [](const WatchedVolume& volume, double) { return volume.statusDetail; },
     QT_TRANSLATE_NOOP("vornix::DriveTroubleNotices", "\"%1\" could not be pinged.")},
    {VolumeStatus::full, QT_TRANSLATE_NOOP("vornix::DriveTroubleNotices", "Drive nearly full"),
     QT_TRANSLATE_NOOP("vornix::DriveTroubleNotices",
                       "\"%1\" has less than %2 MB free; pings wait until space is freed."),
     [](const WatchedVolume&, double) {
         return std::to_string(KeepAliveEngine::freeSpaceFloor >> 20);
     }},
    {VolumeStatus::notReaching,
     QT_TRANSLATE_NOOP("vornix::DriveTroubleNotices", "Pings not reaching the drive"),
     QT_TRANSLATE_NOOP("vornix::DriveTroubleNotices",
                       "\"%1\" may still spin down: its I/O counters did not move on the last "
                       "two pings, so the writes never reached the drive."),
     [](const WatchedVolume&, double) { return std::string(); }},
    // A drive whose standby timer is shorter than the interval dozes off between two pings: the
    // next shorter choice of the panel may do. Where none is left, the pings do not count as
    // use for the drive.
    {VolumeStatus::fellAsleep,
     QT_TRANSLATE_NOOP("vornix::DriveTroubleNotices", "Drive fell asleep"),
     QT_TRANSLATE_NOOP("vornix::DriveTroubleNotices",
                       "\"%1\" went to sleep although it was pinged every %3 s. Choose a shorter "
                       "ping interval, such as %2 s."),
     [](const WatchedVolume&, double interval) {
         const auto& offered = keep_alive_interval::options;
         const auto shorter = std::find_if(offered.rbegin(), offered.rend(),
                                           [interval](double option) { return option < interval; });
         return shorter == offered.rend() ? std::string() : wholeSeconds(*shorter);
     },
     QT_TRANSLATE_NOOP("vornix::DriveTroubleNotices",
                       "\"%1\" went to sleep although it was pinged every %3 s: the drive's own "
                       "firmware ignores the pings.")},
}};

const TroubleText* troubleText(VolumeStatus status) {
    for (const auto& text : troubleTexts)
        if (text.status == status)
            return &text;
    return nullptr;
}

} // namespace

DriveTroubleNotices::DriveTroubleNotices(VolumeMonitor& monitor, DesktopNotifier& notifier,
                                         ReachingStreak reachingStreak,
                                         std::function<double()> interval)
    : notifier_(notifier), reachingStreak_(std::move(reachingStreak)),
      interval_(std::move(interval)) {
    subscription_ = monitor.volumes.subscribe(
        [this](const std::vector<WatchedVolume>& volumes) { follow(volumes); });
}

bool DriveTroubleNotices::isTrouble(VolumeStatus status) {
    return troubleText(status) != nullptr;
}

namespace {

std::string shownName(const WatchedVolume& volume) {
    return displayName(volume.name.empty()
                           ? userText("vornix::EventLog", EventLog::fallbackVolumeName)
                           : volume.name);
}

} // namespace

DesktopNotification DriveTroubleNotices::notice(const WatchedVolume& volume, double interval) {
    DesktopNotification note{makeUuid(), {}, {}, "device.error", "dialog-warning"};
    const TroubleText* text = troubleText(volume.status);
    if (!text)
        return note;
    const std::string shown = shownName(volume);
    const std::string fact = text->fact(volume, interval);
    note.title = userText(context, text->title);
    note.body =
        fact.empty() && text->bodyWithoutFact
            ? userText(context, text->bodyWithoutFact, {shown, fact, wholeSeconds(interval)})
            : userText(context, text->body, {shown, fact, wholeSeconds(interval)});
    return note;
}

DesktopNotification DriveTroubleNotices::failingNotice(const WatchedVolume& volume) {
    return {makeUuid(),
            userText(context, QT_TRANSLATE_NOOP("vornix::DriveTroubleNotices",
                                                "Drive reports that it is failing")),
            userText(context,
                     QT_TRANSLATE_NOOP("vornix::DriveTroubleNotices",
                                       "\"%1\" reports that it is failing: copy your data off it."),
                     {shownName(volume)}),
            "device.error", "dialog-warning"};
}

bool DriveTroubleNotices::firstFor(std::set<std::string>& told, const WatchedVolume& volume) {
    return told.insert(volume.drive.empty() ? "volume " + volume.id : volume.drive).second;
}

void DriveTroubleNotices::follow(const std::vector<WatchedVolume>& volumes) {
    // Runs on every publication of the list, so once per status change: a plain pass by
    // position, no lookups.
    inTrouble_.resize(volumes.size(), false);
    notReachingTold_.resize(volumes.size(), false);
    failing_.resize(volumes.size(), false);
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
        const bool shown = enabled_ && volume.isWatched && volume.isCurrentlyMounted;
        if (entered && shown &&
            (volume.status != VolumeStatus::fellAsleep || firstFor(toldAsleep_, volume)))
            notifier_.post(notice(volume, interval_()));
        const bool failing = volume.driveFailing && volume.isWatched;
        if (failing && !failing_[i] && shown && firstFor(toldFailing_, volume))
            notifier_.post(failingNotice(volume));
        failing_[i] = failing;
    }
}

} // namespace vornix
