#include "log/event_log.h"

namespace vornix {

// lupdate collects the texts by this macro's name; the layer itself stays free of Qt.
#define QT_TRANSLATE_NOOP(context, text) text
static_assert(std::string_view(EventLog::notificationTitle) ==
              QT_TRANSLATE_NOOP("vornix::EventLog", "Drive disconnected unexpectedly"));
static_assert(std::string_view(EventLog::fallbackVolumeName) ==
              QT_TRANSLATE_NOOP("vornix::EventLog", "External drive"));

EventLog::EventLog(const WallClock& clock, SystemLog& systemLog, DesktopNotifier& notifier)
    : clock_(clock), systemLog_(systemLog), notifier_(notifier),
      outcomes_(notifier_.watchOutcomes(
          [this](const NotificationOutcome& outcome) { noteNotificationOutcome(outcome); })) {}

void EventLog::record(LogEvent::Kind kind, std::optional<std::string> volumeName,
                      std::string detail) {
    LogEvent event{makeUuid(), clock_.now(), kind, std::move(volumeName), std::move(detail)};
    const std::string line = systemLogLine(event);
    std::optional<std::string> disconnected;
    if (kind == LogEvent::Kind::unexpectedDisconnect)
        disconnected = event.volumeName.value_or(userText("vornix::EventLog", fallbackVolumeName));

    // In place: a copy of the whole log per event would make every ping cost O(capacity).
    events.modify([&](std::vector<LogEvent>& list) {
        if (list.size() >= capacity)
            list.resize(capacity - 1);
        list.insert(list.begin(), std::move(event));
    });

    systemLog_.write(logLevel(kind), line);

    if (disconnected)
        notifyUnexpectedDisconnect(*disconnected);
}

std::string EventLog::systemLogLine(const LogEvent& event) {
    std::string line{label(event.kind)};
    line += " \u2014 ";
    line += event.volumeName.value_or("system");
    line += ' ';
    line += event.detail;
    return line;
}

std::string EventLog::disconnectBody(const std::string& volumeName) {
    return userText("vornix::EventLog",
                    QT_TRANSLATE_NOOP("vornix::EventLog", "\"%1\" disappeared without being "
                                                          "ejected. Check the cable/connection."),
                    {displayName(volumeName)});
}

void EventLog::notifyUnexpectedDisconnect(const std::string& volumeName) {
    notifier_.post(
        {makeUuid(), userText("vornix::EventLog", notificationTitle), disconnectBody(volumeName)});
}

void EventLog::noteNotificationOutcome(const NotificationOutcome& outcome) {
    using Status = NotificationOutcome::Status;
    const bool failed = outcome.status != Status::shown;
    const bool changed = failed != notificationsFailing_;
    notificationsFailing_ = failed;
    if (!failed || !changed)
        return;
    const char* why = outcome.status == Status::noServer ? "No notification server"
                      : outcome.status == Status::refused
                          ? "Refused by the notification server"
                          : "The notification server did not answer";
    record(LogEvent::Kind::notificationsUnavailable, std::nullopt,
           outcome.reason.empty() ? why : std::string(why) + ": " + outcome.reason);
}

} // namespace vornix
