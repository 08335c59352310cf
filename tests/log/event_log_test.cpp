#include "log/event_log.h"

#include "log_fakes.h"
#include "virtual_time.h"

#include <gtest/gtest.h>

#include <set>

namespace vornix {
namespace {

using Kind = LogEvent::Kind;

struct EventLogTest : ::testing::Test {
    testing::VirtualTime time;
    testing::RecordingSystemLog systemLog;
    testing::RecordingNotifier notifier;
    EventLog log{time, systemLog, notifier};
};

TEST_F(EventLogTest, KeepsTheNewestTwoHundredNewestFirst) {
    for (int i = 0; i < 201; ++i)
        log.record(Kind::pingSucceeded, "Disk", std::to_string(i));
    const auto& events = log.events.get();
    ASSERT_EQ(events.size(), 200u);
    EXPECT_EQ(events.front().detail, "200");
    EXPECT_EQ(events.back().detail, "1"); // "0", the oldest, is gone
    EXPECT_EQ(systemLog.lines.size(), 201u);
}

TEST_F(EventLogTest, EventIsStoredBeforeItsLineAndNotificationAndTimestampedNow) {
    std::size_t sizeSeenByObserver = 0;
    auto token =
        log.events.subscribe([&](const auto& events) { sizeSeenByObserver = events.size(); });
    time.advance(90);
    log.record(Kind::mounted, "Photos", "");
    EXPECT_EQ(sizeSeenByObserver, 1u);
    EXPECT_EQ(log.events.get().front().timestamp, time.now());
}

TEST_F(EventLogTest, SystemLogLinesAndLevels) {
    struct Case {
        Kind kind;
        std::optional<std::string> volume;
        std::string detail;
        LogLevel level;
        std::string line;
    };
    const LogLevel info = LogLevel::info, error = LogLevel::error;
    const std::optional<std::string> system;
    const std::vector<Case> cases{
        {Kind::sleepPreventionStarted, system, "", info, "Sleep prevention started \u2014 system "},
        {Kind::sleepPreventionStopped, system, "", info, "Sleep prevention stopped \u2014 system "},
        {Kind::mounted, "Backup", "", info, "Mounted \u2014 Backup "},
        {Kind::unmountedByUser, "Backup", "", info, "Ejected (user) \u2014 Backup "},
        {Kind::pingSucceeded, "Backup", "", info, "Keep-alive ping ok \u2014 Backup "},
        {Kind::unexpectedDisconnect, "Backup", "", error, "Unexpected disconnect \u2014 Backup "},
        {Kind::pingStalled, "Backup", "", error, "Keep-alive ping stalled \u2014 Backup "},
        {Kind::pingFailed, system, "Login item: Permission denied", error,
         "Keep-alive ping failed \u2014 system Login item: Permission denied"},
        {Kind::volumeReadOnly, "Backup", "", error, "Volume read-only \u2014 Backup "},
        {Kind::volumeFull, "Backup", "", error, "Volume nearly full \u2014 Backup "},
    };
    for (const auto& c : cases) {
        systemLog.lines.clear();
        log.record(c.kind, c.volume, c.detail);
        ASSERT_EQ(systemLog.lines.size(), 1u);
        EXPECT_EQ(systemLog.lines[0].first, c.level) << c.line;
        EXPECT_EQ(systemLog.lines[0].second, c.line);
    }
}

TEST_F(EventLogTest, OnlyUnexpectedDisconnectNotifies) {
    for (auto kind : {Kind::mounted, Kind::unmountedByUser, Kind::pingSucceeded, Kind::pingStalled,
                      Kind::pingFailed, Kind::volumeReadOnly, Kind::volumeFull,
                      Kind::sleepPreventionStarted, Kind::sleepPreventionStopped})
        log.record(kind, "Backup", "");
    EXPECT_TRUE(notifier.posted.empty());

    log.record(Kind::unexpectedDisconnect, "Backup", "");
    ASSERT_EQ(notifier.posted.size(), 1u);
    EXPECT_EQ(notifier.posted[0].title, "Drive disconnected unexpectedly");
    EXPECT_EQ(notifier.posted[0].body,
              "\"Backup\" disappeared without being ejected. Check the cable/connection.");
}

TEST_F(EventLogTest, NotificationBodiesForOddNames) {
    const std::vector<std::pair<std::optional<std::string>, std::string>> cases{
        {std::nullopt, "\"External drive\" disappeared without being ejected. Check the "
                       "cable/connection."},
        {"", "\"\" disappeared without being ejected. Check the cable/connection."},
        {"A & B <x> \"q\"", "\"A & B <x> \"q\"\" disappeared without being ejected. Check the "
                            "cable/connection."},
    };
    for (const auto& [name, body] : cases) {
        notifier.posted.clear();
        log.record(Kind::unexpectedDisconnect, name, "");
        ASSERT_EQ(notifier.posted.size(), 1u);
        EXPECT_EQ(notifier.posted[0].body, body); // plain text: escaping is the adapter's
    }
    // The event keeps an absent name absent; only the notification substitutes.
    EXPECT_EQ(log.events.get()[2].volumeName, std::nullopt);
}

TEST_F(EventLogTest, EventsAndNotificationsHaveDistinctIds) {
    log.record(Kind::unexpectedDisconnect, "Backup", "");
    log.record(Kind::unexpectedDisconnect, "Backup", "");
    const auto& events = log.events.get();
    EXPECT_NE(events[0].id, events[1].id);
    EXPECT_EQ(events[0].timestamp, events[1].timestamp);
    ASSERT_EQ(notifier.posted.size(), 2u);
    EXPECT_NE(notifier.posted[0].identifier, notifier.posted[1].identifier);

    std::set<std::string> ids;
    for (int i = 0; i < 1000; ++i) {
        auto id = makeUuid();
        ASSERT_EQ(id.size(), 36u);
        EXPECT_EQ(id[14], '4');
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), 1000u);
}

} // namespace
} // namespace vornix
