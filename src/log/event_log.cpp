#include "log/event_log.h"

namespace vornix {

EventLog::EventLog(const WallClock& clock, SystemLog& systemLog, DesktopNotifier& notifier)
    : clock_(clock), systemLog_(systemLog), notifier_(notifier) {}

void EventLog::record(LogEvent::Kind kind, std::optional<std::string> volumeName,
                      std::string detail) {
    LogEvent event{makeUuid(), clock_.now(), kind, std::move(volumeName), std::move(detail)};

    std::vector<LogEvent> list;
    list.reserve(capacity + 1);
    list.push_back(event);
    const auto& old = events.get();
    for (std::size_t i = 0; i < old.size() && list.size() < capacity; ++i)
        list.push_back(old[i]);
    events = std::move(list);

    systemLog_.write(logLevel(kind), systemLogLine(event));

    if (kind == LogEvent::Kind::unexpectedDisconnect)
        notifyUnexpectedDisconnect(event.volumeName.value_or(fallbackVolumeName));
}

void EventLog::requestNotificationAuthorization() {
    notifier_.requestAuthorization();
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
    return "\"" + displayName(volumeName) +
           "\" disappeared without being ejected. Check the cable/connection.";
}

void EventLog::notifyUnexpectedDisconnect(const std::string& volumeName) {
    notifier_.post({makeUuid(), notificationTitle, disconnectBody(volumeName)});
}

} // namespace vornix
