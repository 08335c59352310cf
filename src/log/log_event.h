#pragma once

#include "core/scheduling.h"

#include <optional>
#include <string>
#include <string_view>

namespace vornix {

enum class LogLevel { info, error };

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
    };

    std::string id{}; // random UUID, standard textual form
    WallTime timestamp{};
    Kind kind = Kind::mounted;
    std::optional<std::string> volumeName{};
    std::string detail{};

    bool operator==(const LogEvent&) const = default;
};

/// The fixed text shown for a kind, in the panel and at the start of its log line.
std::string_view label(LogEvent::Kind kind);

/// Error for the five kinds that report trouble, info for the others.
LogLevel logLevel(LogEvent::Kind kind);

/// A fresh random (version 4) UUID in its standard 36-character form.
std::string makeUuid();

} // namespace vornix
