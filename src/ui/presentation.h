#pragma once

// What the panel shows for a value, as plain data, so it can be checked without drawing.

#include "log/log_event.h"
#include "volumes/watched_volume.h"

#include <QColor>
#include <QPalette>
#include <QString>

#include <array>
#include <optional>

namespace vornix {

enum class Tint { green, orange, red, secondary };

/// What the tray icon says: nothing kept awake, drives kept awake, or a drive in trouble.
enum class TrayLook { idle, awake, trouble };

/// Trouble, whether keeping awake or not, while a watched drive's pings fail, stall or do not reach
/// it, while it was found asleep despite the pings or reports failing, or while the newest event
/// is a drive pulled without an eject; else awake or idle as `keepingAwake`.
TrayLook trayLook(bool keepingAwake, const std::vector<WatchedVolume>& volumes,
                  const std::vector<LogEvent>& newestFirst);

struct StatusLabel {
    QString text;
    Tint tint;
    bool operator==(const StatusLabel&) const = default;
};

/// The status line of a volume row. The status decides; the mount flag matters only for idle. A
/// mounted volume's drive adds its power mode, as powerText() says it (with the time of the
/// reading unless `keepingAwake`: it may be old then), and a failing drive is said first, in red
/// whatever the status.
StatusLabel statusLabel(const WatchedVolume& volume, bool keepingAwake = true);

/// A drive's power mode in a word: "spinning" or "standby", or for a drive without platters
/// "awake" or "asleep"; with the time of the reading when `withTime`. Empty when unknown.
QString powerText(const PowerReading& reading, bool withTime);

/// Why a row reads as it does, for the pointer and screen readers; empty where the label says it.
QString statusTooltip(const WatchedVolume& volume);

/// The badge of a bus, in the words users know it by ("USB", "SD Card"); empty for a bus without
/// a name of its own and for an unknown one.
QString busText(std::optional<ConnectionBus> bus);

/// The tint of a tone, as an activity row's dot shows it.
Tint toneTint(Tone tone);

/// A volume name as a row shows it (see displayName()).
QString nameText(const std::string& name);

/// The label line of an activity row: the kind's label, then " — " and the volume name when
/// there is one (as nameText() shows it).
QString eventLabelLine(const LogEvent& event);

/// The time of day of an event, in the user's locale, without the date.
QString eventTimeText(const LogEvent& event);

/// "30s", "45s", ...: exact for every interval the rule accepts, which are whole seconds.
QString intervalText(double seconds);

/// Has userText() (the notifications' texts) translated by the application's translators.
/// Call before any thread starts.
void translateUserTextsWithQt();

/// The contrast a text is given, so that as drawn it shows at least 4.6:1 (the 4.5:1 small text
/// needs, with a margin): small anti-aliased glyphs never reach their full colour, and the
/// round digits of a time at caption size show little more than three quarters of it.
constexpr double textContrast = 6.0;
/// The contrast a control's outline is given against what it is drawn on.
constexpr double controlContrast = 3.0;

/// The colour of a tint on this palette, as text drawn on `background`: readableOn() it.
QColor tintColor(Tint tint, const QPalette& palette, const QColor& background);

/// The contrast ratio of two colours as WCAG 2 defines it, from 1 (same) to 21.
double contrastRatio(const QColor& a, const QColor& b);

/// What `top`, if translucent, looks like drawn on `ground`.
QColor laidOver(const QColor& top, const QColor& ground);

/// `tone` (laid over `background` if translucent) itself when it stands out from `background`
/// at least `ratio`:1, else the least darkened (or lightened, on a dark background) shade of it
/// that does.
QColor readableOn(const QColor& tone, const QColor& background, double ratio = textContrast);

} // namespace vornix
