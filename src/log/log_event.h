#pragma once

#include "core/scheduling.h"

#include <optional>
#include <string>
#include <string_view>

namespace vornix {

/// How serious an event is in the journal: something that happened, something the user should
/// know works less well than it could, or trouble.
enum class LogLevel { info, warning, error };

/// How a row of the activity log reads at a glance; the panel turns it into a colour.
enum class Tone { ok, warning, error };

/// One entry of the activity log. Plain value; identified by `id`.
struct LogEvent {
    enum class Kind {
        mounted,
        unmountedByUser,
        unexpectedDisconnect,
        pingSucceeded,
        pingStalled,
        pingFailed,
        volumeReadOnly,
        volumeFull,
        sleepPreventionStarted,
        sleepPreventionStopped,
        settingsNotSaved,
        driveMonitoringUnavailable,
        notificationsUnavailable,
        autostartNotChanged,
        intervalRaised,
        sleepPreventionUnavailable,
        sleepPreventionLost,
        pingNotReaching,
        driveFellAsleep,
        driveFailing,
    };

    std::string id{}; // random UUID, standard textual form
    WallTime timestamp{};
    Kind kind = Kind::mounted;
    std::optional<std::string> volumeName{};
    std::string detail{};

    bool operator==(const LogEvent&) const = default;
};

/// Everything fixed about a kind, in one place: its text (untranslated; the panel translates it
/// in the "vornix::LogEvent" context), its journal level and its tone in the panel.
struct KindTraits {
    std::string_view label;
    LogLevel level;
    Tone tone;
};
const KindTraits& traits(LogEvent::Kind kind);

inline std::string_view label(LogEvent::Kind kind) {
    return traits(kind).label;
}
inline LogLevel logLevel(LogEvent::Kind kind) {
    return traits(kind).level;
}
inline Tone tone(LogEvent::Kind kind) {
    return traits(kind).tone;
}

/// A volume name as it may be shown among other text: wrapped in a first-strong isolate so its
/// direction cannot leak out, with control, bidirectional-formatting and line-separator
/// characters replaced by visible stand-ins, so a label can neither reorder nor forge the text
/// around it. Input is UTF-8; bytes that are not valid UTF-8 pass through unchanged. Past
/// `maxCharacters` characters (code points) the rest is left out and an ellipsis marks the cut,
/// for quoting text of any length that came from outside.
std::string displayName(std::string_view name, std::size_t maxCharacters = std::string_view::npos);

/// Turns an English source text into the user's language, as Qt's translate() does.
using TextTranslator = std::string (*)(const char* context, const char* sourceText);

/// Installs the translator of the texts shown outside the panel (notifications); until one is
/// installed they stay in English, their source text. Install it before any thread starts.
void setTextTranslator(TextTranslator translator);

/// `sourceText` (marked for lupdate with QT_TRANSLATE_NOOP in `context`) in the user's
/// language, with "%1", "%2", ... replaced by the arguments in turn.
std::string userText(const char* context, const char* sourceText,
                     std::initializer_list<std::string_view> arguments = {});

/// A fresh random (version 4) UUID in its standard 36-character form.
std::string makeUuid();

} // namespace vornix
