#include "log/event_log.h"

#include "log_fakes.h"
#include "virtual_time.h"

#include <gtest/gtest.h>

namespace vornix {
namespace {

using Kind = LogEvent::Kind;

TEST(EventLog, KeepsTheNewestTwoHundredJournalsEachAndIsolatesNamesOnlyInNotifications) {
    testing::VirtualTime time;
    testing::RecordingSystemLog systemLog;
    testing::RecordingNotifier notifier;
    EventLog log{time, systemLog, notifier};
    time.advance(90);
    for (int i = 0; i < 201; ++i)
        log.record(i == 200 ? Kind::settingsNotSaved : Kind::pingSucceeded, "D", std::to_string(i));
    const auto& events = log.events.get();
    ASSERT_EQ(events.size(), 200u);
    EXPECT_EQ(events.back().detail + " " + events[0].detail, "1 200"); // newest first
    EXPECT_TRUE(events[0].timestamp == time.now() && events[0].id != events[1].id);
    EXPECT_EQ(systemLog.lines[0],
              std::pair(LogLevel::info, std::string("Keep-alive ping ok \u2014 D 0")));
    EXPECT_EQ(systemLog.lines[200],
              std::pair(LogLevel::error, std::string("Settings not saved \u2014 D 200")));
    EXPECT_TRUE(notifier.posted.empty());

    // A name is isolated and made visible in the body, but journalled exactly as it is.
    const std::string tail = "\" disappeared without being ejected. Check the cable/connection.";
    const std::vector<std::pair<std::optional<std::string>, std::string>> cases{
        {std::nullopt, "\u2068External drive\u2069"},
        {"evil\u202Etxt.exe\u2069\n\x7f\xc2\x85",
         "\u2068evil<RLO>txt.exe<PDI>\u240A\u2421\uFFFD\u2069"},
        {"\xff\u05e9\u05dc\u05d5\u05dd", "\u2068\xff\u05e9\u05dc\u05d5\u05dd\u2069"}};
    for (const auto& [name, shown] : cases) {
        log.record(Kind::unexpectedDisconnect, name, "");
        EXPECT_EQ(notifier.posted.back().body, "\"" + shown + tail);
        EXPECT_EQ(systemLog.lines.back(),
                  std::pair(LogLevel::error,
                            "Unexpected disconnect \u2014 " + name.value_or("system") + " "));
        EXPECT_EQ(log.events.get().front().volumeName, name);
    }
}

TEST(EventLog, NotificationsThatStopReachingTheDesktopAreRecordedOncePerOutage) {
    testing::VirtualTime time;
    testing::RecordingSystemLog systemLog;
    testing::RecordingNotifier notifier;
    EventLog log{time, systemLog, notifier};
    using S = NotificationOutcome::Status;
    for (const auto& [status, reason] :
         std::vector<std::pair<S, std::string>>{{S::shown, ""},
                                                {S::noServer, "no owner"},
                                                {S::noAnswer, ""},
                                                {S::shown, ""},
                                                {S::refused, "bad hint"},
                                                {S::refused, "bad hint"}})
        notifier.handler({status, reason});
    const std::string head = "Notifications unavailable \u2014 system ";
    EXPECT_EQ(systemLog.lines,
              (std::vector<std::pair<LogLevel, std::string>>{
                  {LogLevel::warning, head + "No notification server: no owner"},
                  {LogLevel::warning, head + "Refused by the notification server: bad hint"}}));
    EXPECT_TRUE(notifier.posted.empty());
}

} // namespace
} // namespace vornix
