#pragma once

#include "core/observable.h"
#include "core/scheduling.h"
#include "log/desktop_notifier.h"
#include "log/log_event.h"
#include "log/system_log.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace vornix {

/// The single record of what happened: newest first, at most `capacity` entries, one system-log
/// line per event, and a desktop notification for every unexpected disconnect.
///
/// Notifications that stop reaching the desktop are recorded once, as `notificationsUnavailable`,
/// when the first one fails; nothing more while they keep failing, nor when one gets through
/// again (the user sees that one), and the next failure after that is recorded anew.
class EventLog : public ObservableObject {
public:
    static constexpr std::size_t capacity = 200;
    // Source texts, shown translated (userText() in the "vornix::EventLog" context).
    static constexpr const char* notificationTitle = "Drive disconnected unexpectedly";
    static constexpr const char* fallbackVolumeName = "External drive";

    EventLog(const WallClock& clock, SystemLog& systemLog, DesktopNotifier& notifier);

    /// Newest first.
    Published<std::vector<LogEvent>> events{*this, {}};

    void record(LogEvent::Kind kind, std::optional<std::string> volumeName, std::string detail);

    /// "<label> — <volume name or system> <detail>", with the name exactly as given.
    static std::string systemLogLine(const LogEvent& event);
    /// The body of the disconnect notification for a volume name, the name shown as
    /// displayName() makes it.
    static std::string disconnectBody(const std::string& volumeName);

private:
    void notifyUnexpectedDisconnect(const std::string& volumeName);
    void noteNotificationOutcome(const NotificationOutcome& outcome);

    const WallClock& clock_;
    SystemLog& systemLog_;
    DesktopNotifier& notifier_;
    bool notificationsFailing_ = false;
    Subscription outcomes_; // declared last: ends before anything it reaches
};

} // namespace vornix
