#include "log/event_log.h"

#include "log_fakes.h"
#include "virtual_time.h"

#include <gtest/gtest.h>

namespace vornix {
namespace {

using Kind = LogEvent::Kind;

struct EventLogTest : ::testing::Test {
    testing::VirtualTime time;
    testing::RecordingSystemLog systemLog;
    testing::RecordingNotifier notifier;
    EventLog log{time, systemLog, notifier};
};

TEST_F(EventLogTest, KeepsTheNewestTwoHundredNewestFirstStampedNow) {
    time.advance(90);
    for (int i = 0; i < 201; ++i)
        log.record(Kind::pingSucceeded, "Disk", std::to_string(i));
    const auto& events = log.events.get();
    ASSERT_EQ(events.size(), 200u);
    EXPECT_EQ(events.front().detail, "200");
    EXPECT_EQ(events.back().detail, "1");
    EXPECT_EQ(events.front().timestamp, time.now());
    EXPECT_NE(events[0].id, events[1].id);
    EXPECT_EQ(systemLog.lines.size(), 201u);
}

TEST_F(EventLogTest, EachKindHasOneLabelLevelAndToneAndOnlyDisconnectsNotify) {
    const LogLevel I = LogLevel::info, E = LogLevel::error;
    const std::vector<std::tuple<Kind, const char*, LogLevel, Tone>> table{
        {Kind::mounted, "Mounted", I, Tone::ok},
        {Kind::unmountedByUser, "Ejected (user)", I, Tone::ok},
        {Kind::unexpectedDisconnect, "Unexpected disconnect", E, Tone::error},
        {Kind::pingSucceeded, "Keep-alive ping ok", I, Tone::ok},
        {Kind::pingStalled, "Keep-alive ping stalled", E, Tone::warning},
        {Kind::pingFailed, "Keep-alive ping failed", E, Tone::error},
        {Kind::volumeReadOnly, "Volume read-only", E, Tone::warning},
        {Kind::volumeFull, "Volume nearly full", E, Tone::warning},
        {Kind::sleepPreventionStarted, "Sleep prevention started", I, Tone::ok},
        {Kind::sleepPreventionStopped, "Sleep prevention stopped", I, Tone::ok},
        {Kind::settingsNotSaved, "Settings not saved", E, Tone::error}};
    for (const auto& [kind, text, level, shade] : table) {
        EXPECT_EQ(tone(kind), shade) << text;
        log.record(kind, std::nullopt, "why");
        EXPECT_EQ(systemLog.lines.back(),
                  std::pair(level, std::string(text) + " \u2014 system why"));
    }
    EXPECT_EQ(notifier.posted.size(), 1u);
}

TEST_F(EventLogTest, NamesAreIsolatedAndMadeVisibleInTheBodyButExactInTheJournal) {
    const std::string tail = "\" disappeared without being ejected. Check the cable/connection.";
    const std::vector<std::pair<std::optional<std::string>, std::string>> cases{
        {"Backup", "\u2068Backup\u2069"},
        {std::nullopt, "\u2068External drive\u2069"},
        {"A & B <x>", "\u2068A & B <x>\u2069"},
        {"evil\u202Etxt.exe\u2069\n\x7f\xc2\x85",
         "\u2068evil<RLO>txt.exe<PDI>\u240A\u2421\uFFFD\u2069"},
        {"\xff\u05e9\u05dc\u05d5\u05dd", "\u2068\xff\u05e9\u05dc\u05d5\u05dd\u2069"}};
    for (const auto& [name, shown] : cases) {
        log.record(Kind::unexpectedDisconnect, name, "");
        EXPECT_EQ(notifier.posted.back().body, "\"" + shown + tail);
        EXPECT_EQ(systemLog.lines.back().second,
                  "Unexpected disconnect \u2014 " + name.value_or("system") + " ");
        EXPECT_EQ(log.events.get().front().volumeName, name);
    }
    EXPECT_NE(notifier.posted[0].identifier, notifier.posted[1].identifier);
}

} // namespace
} // namespace vornix
