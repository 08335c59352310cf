#include "app/app_state.h"

#include "app_harness.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <tuple>
#include <utility>

namespace vornix {
namespace {

using Kind = LogEvent::Kind;
using Ids = std::vector<std::string>;
using testing::AppHarness;

TEST(AppState, StartsIdleAppliesExclusionsAndKeepsThoseOfDrivesNotSeen) {
    AppHarness h;
    h.settings.raw["excludedVolumeIDs"] = Ids{"UUID-B", "UUID-ABSENT"};
    h.plugIn("UUID-A", "Alpha", /*announce=*/false);
    h.plugIn("UUID-B", "Beta", false);
    auto& app = h.create();
    h.time.advance(600);
    EXPECT_EQ(h.fileSystem.writes().size() + h.settings.writes, 0u); // nothing runs or is written
    auto stored = [&] { return std::get<Ids>(h.settings.raw.at("excludedVolumeIDs")); };
    app.toggleVolume("UUID-A");
    EXPECT_EQ(stored(), (Ids{"UUID-A", "UUID-B", "UUID-ABSENT"}));
    app.toggleVolume("UUID-B");
    EXPECT_EQ(stored(), (Ids{"UUID-A", "UUID-ABSENT"}));

    app.toggleGlobalActive();
    h.plugIn("UUID-ABSENT", "Gamma");
    h.time.advance(600);
    EXPECT_EQ(h.fileSystem.writeCount("/media/user/Gamma"), 0);
    EXPECT_GT(h.fileSystem.writeCount("/media/user/Beta"), 0);
}

TEST(AppState, StoredIntervalsAreRaisedToWholeSecondsAndTheFloorAndOnlyThoseAreTaken) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<double, double> storedAndUsed[]{
        {0, 45},   {-30, 45}, {nan, 45},  {inf, 45}, {-inf, 45}, {86401, 45},
        {0.5, 10}, {9, 10},   {12.5, 13}, {10, 10},  {90, 90},   {86400, 86400}};
    for (const auto& [value, used] : storedAndUsed) {
        AppHarness h;
        h.settings.raw["keepAliveInterval"] = value;
        EXPECT_EQ(h.create().keepAliveInterval.get(), used) << value;
        // Raised is said; a value that falls back to the default is not.
        EXPECT_EQ(h.app->eventLog().events.get().size(), used != value && used != 45 ? 1u : 0u)
            << value;
        h.app->toggleGlobalActive();
        h.app->updateInterval(value);
        EXPECT_EQ(h.app->engine().interval(), used) << value;
        EXPECT_EQ(h.settings.writes, used == value ? 1 : 0) << value; // a raised one stays stored
    }
}

TEST(AppState, CommandsRunTheEngineAndRecordRefusals) {
    AppHarness h;
    h.autostart.current = AutostartStatus::disabled;
    auto& app = h.create();
    app.toggleGlobalActive();
    EXPECT_TRUE(app.engine().isRunning());
    app.shutdown();
    EXPECT_FALSE(app.engine().isRunning());

    app.setLaunchAtLogin(true);
    app.setLaunchAtLogin(true);
    EXPECT_TRUE(app.launchAtLoginEnabled.get());
    EXPECT_EQ(h.autostart.installCalls, 1);
    h.autostart.refusal = "Permission denied";
    app.setLaunchAtLogin(false);
    EXPECT_TRUE(app.launchAtLoginEnabled.get());
    EXPECT_EQ(h.systemLog.lines.back(),
              std::pair(LogLevel::error, std::string("Launch at Login not changed \u2014 system "
                                                     "Login item: Permission denied")));
}

TEST(AppState, SettingsThatCannotBeSavedAreRecordedAsErrorsAndKeptForTheRun) {
    AppHarness h;
    h.plugIn("UUID-A", "Alpha", false);
    auto& app = h.create();
    h.settings.failure = "Read-only file system";
    app.updateInterval(120);
    app.toggleVolume("UUID-A");
    EXPECT_EQ(app.keepAliveInterval.get(), 120.0);
    EXPECT_FALSE(app.volumeMonitor().volume("UUID-A")->isWatched);
    const auto& events = app.eventLog().events.get();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].kind, Kind::settingsNotSaved);
    EXPECT_EQ(events[1].detail, "vornix.conf: Read-only file system");
    EXPECT_EQ(h.systemLog.lines.back().first, LogLevel::error);
    h.settings.failure.reset();
    app.updateInterval(60);
    EXPECT_EQ(events.size(), 3u);
}

TEST(AppState, NoPingWhilePreparingToSleepOnePassOnWakingAndNoBurst) {
    AppHarness h;
    h.plugIn("UUID-A", "Alpha", false);
    auto& app = h.create();
    const auto writes = [&] { return h.fileSystem.writeCount("/media/user/Alpha"); };
    app.toggleGlobalActive();
    h.time.advance(30);
    h.machine.prepareForSleep(true);
    h.time.advance(600);
    EXPECT_EQ(writes(), 1);
    h.machine.prepareForSleep(false);
    h.time.runPending();
    EXPECT_EQ(writes(), 2); // at once, and once
    h.time.advance(44.9);
    EXPECT_EQ(writes(), 2); // the interval counts from the waking pass
    h.time.advance(0.1);
    EXPECT_EQ(writes(), 3);
    h.machine.prepareForSleep(false); // a waking whose sleep went unheard passes all the same
    h.time.runPending();
    EXPECT_EQ(writes(), 4);
}

TEST(AppState, PauseOnBatteryHoldsPingsAndTheInhibitionUntilMainsThenPassesAtOnce) {
    AppHarness h;
    h.plugIn("UUID-A", "Alpha", false);
    h.settings.raw["pauseOnBattery"] = true;
    h.machine.battery = true;
    auto& app = h.create();
    const auto writes = [&] { return h.fileSystem.writeCount("/media/user/Alpha"); };
    app.toggleGlobalActive();
    h.machine.prepareForSleep(true);
    h.machine.prepareForSleep(false); // waking on battery wakes no drive
    h.time.advance(600);
    EXPECT_EQ(writes(), 0);
    EXPECT_TRUE(app.isPausedOnBattery.get());
    EXPECT_FALSE(h.power.wanted());
    h.machine.setOnBattery(false);
    h.time.runPending();
    EXPECT_EQ(writes(), 1);
    EXPECT_TRUE(h.power.wanted());

    app.setPauseOnBattery(false); // then battery changes nothing
    h.machine.setOnBattery(true);
    h.time.advance(45);
    EXPECT_EQ(writes(), 2);
    EXPECT_FALSE(std::get<bool>(h.settings.raw.at("pauseOnBattery")));
    app.setPauseOnBattery(true);
    h.time.advance(450);
    EXPECT_EQ(writes(), 2);
    EXPECT_FALSE(AppHarness().create().pauseOnBattery.get()); // off unless chosen
}

TEST(AppState, WhatHoldsSleepOffIsToldOncePerChangeAndNothingWhileNotWanted) {
    using S = InhibitionService;
    using A = InhibitionAssurance;
    using C = InhibitionRefusal::Cause;
    const InhibitionState none{A::none,
                               {},
                               {{S::gnomeSession, C::noService, "x"},
                                {S::powerManagement, C::accessDenied, "x"},
                                {S::desktopPortal, C::timeout, "x"},
                                {S::logind, C::other, "org.freedesktop.DBus.Error.Failed: no"}}};
    const InhibitionState partial{A::partial, {S::logind}, {{S::gnomeSession, C::noService, ""}}};
    const InhibitionState gnome{A::held, {S::gnomeSession, S::logind}, {}};
    const InhibitionState retaken{A::held, {S::powerManagement}, {}, {S::gnomeSession}};
    const InhibitionState portal{A::requested, {S::desktopPortal}, {none.refusals[0]}};
    AppHarness h;
    h.settings.raw["pauseOnBattery"] = true;
    auto& app = h.create();
    const auto answer = [&h](const InhibitionState& s) { return [&h, s] { h.power.answer(s); }; };
    const auto toggle = [&app] { app.toggleGlobalActive(); };
    // Then the journal's new line, if any, with its priority, and the word scripts read.
    using Step = std::tuple<std::function<void()>, std::string, std::string_view>;
    std::size_t seen = 0;
    for (
        const auto& [act, line, name] : std::vector<Step>{
            {toggle, "", "asking"},
            {answer(none),
             "4 Sleep prevention unavailable \u2014 system GNOME session: no such service; power "
             "manager: access denied; desktop portal: no answer in time; logind: "
             "org.freedesktop.DBus.Error.Failed: no",
             "none"},
            {answer(none), "", "none"},
            {answer(partial),
             "6 Sleep prevention started \u2014 system logind idle lock (partial: the desktop may "
             "still suspend); GNOME session: no such service",
             "partial"},
            {answer(gnome),
             "6 Sleep prevention started \u2014 system GNOME session and logind idle lock", "held"},
            {answer(retaken),
             "4 Sleep prevention lost \u2014 system GNOME session left the bus; now: power manager",
             "held"},
            {[&h] { h.machine.setOnBattery(true); }, "", "off"},
            {[&h] { h.machine.setOnBattery(false); }, "", "asking"},
            {answer(retaken), "", "held"}, // the same as before the pause
            {answer(portal), "6 Sleep prevention started \u2014 system desktop portal (requested)",
             "requested"},
            {toggle, "6 Sleep prevention stopped \u2014 system ", "off"},
            {toggle, "", "asking"},
            {answer(portal), "6 Sleep prevention started \u2014 system desktop portal (requested)",
             "requested"}}) {
        act();
        std::string added;
        for (; seen < h.systemLog.lines.size(); ++seen)
            added += std::string(1, "643"[static_cast<int>(h.systemLog.lines[seen].first)]) + " " +
                     h.systemLog.lines[seen].second;
        EXPECT_EQ(added, line) << name;
        EXPECT_EQ(app.sleepPreventionName(), name);
        EXPECT_EQ(h.power.wanted(), name != "off");
    }
}

TEST(AppState, DriveTroubleIsToldOnceOnEachWayInAndNeverWhenSwitchedOff) {
    AppHarness h;
    h.plugIn("UUID-A", "Alpha", false);
    auto& app = h.create();
    const auto markAll = [&](std::initializer_list<VolumeStatus> statuses) {
        for (auto status : statuses)
            app.volumeMonitor().markStatus("UUID-A", status, std::nullopt, "Input/output error");
    };
    using S = VolumeStatus;
    markAll({S::active, S::stalled, S::stalled, S::failed, S::active, S::idle, S::full, S::active,
             S::readOnly, S::active, S::failed});
    std::vector<std::string> titles;
    for (const auto& note : h.notifier.posted)
        titles.push_back(note.title);
    EXPECT_EQ(titles, (Ids{"Drive not responding", "Drive nearly full", "Drive is read-only",
                           "Keep-alive ping failed"}));
    EXPECT_EQ(h.notifier.posted.back().body,
              "\"\u2068Alpha\u2069\" could not be pinged: Input/output error.");
    EXPECT_EQ(h.notifier.posted.back().category, "device.error");

    app.setNotifyAboutDriveTrouble(false);
    markAll({S::active, S::stalled});
    h.volumeSystem.remove("/media/user/Alpha", /*ejected=*/false);
    ASSERT_EQ(h.notifier.posted.size(), 5u); // the disconnect notice stays
    EXPECT_EQ(h.notifier.posted.back().title, EventLog::notificationTitle);
    EXPECT_FALSE(std::get<bool>(h.settings.raw.at("notifyAboutDriveTrouble")));
}

TEST(AppState, ADriveAsleepOrFailingIsToldOncePerDriveInARunWithWhatToDo) {
    AppHarness h;
    for (const auto& [name, minor] : {std::pair("Alpha", 1u), {"Beta", 2u}, {"Gamma", 17u}}) {
        auto facts = testing::externalVolumeValues(name, std::string("UUID-") + name);
        facts.deviceNumber = DeviceNumber{8, minor};
        h.volumeSystem.plugIn(std::string("/media/user/") + name, facts, name, ConnectionBus::usb,
                              false);
    }
    h.driveHealth.drives = {{{8, 1}, {"one"}}, {{8, 2}, {"one"}}, {{8, 17}, {"two"}}};
    auto& app = h.create();
    auto& monitor = app.volumeMonitor();
    const auto fallAsleep = [&](const std::string& name) {
        for (auto status : {VolumeStatus::active, VolumeStatus::fellAsleep})
            monitor.markStatus("UUID-" + name, status, std::nullopt);
    };
    fallAsleep("Alpha");
    fallAsleep("Alpha");
    fallAsleep("Beta"); // the same drive
    app.updateInterval(30);
    fallAsleep("Gamma");
    h.driveHealth.set({8, 17}, {"two", true});
    h.driveHealth.set({8, 17}, {"two", false});
    h.driveHealth.set({8, 17}, {"two", true});
    const std::string gamma = "\"\u2068Gamma\u2069\"";
    std::vector<std::pair<std::string, std::string>> told;
    for (const auto& note : h.notifier.posted)
        told.emplace_back(note.title, note.body);
    EXPECT_EQ(told, (std::vector<std::pair<std::string, std::string>>{
                        {"Drive fell asleep", "\"\u2068Alpha\u2069\" went to sleep although it "
                                              "was pinged every 45 s. Choose a shorter ping "
                                              "interval, such as 30 s."},
                        {"Drive fell asleep", gamma + " went to sleep although it was pinged "
                                                      "every 30 s: the drive's own firmware "
                                                      "ignores the pings."},
                        {"Drive reports that it is failing",
                         gamma + " reports that it is failing: copy your data off it."}}));
    EXPECT_EQ(std::ranges::count(h.systemLog.lines,
                                 std::pair(LogLevel::error, std::string("Drive reports failure "
                                                                        "\u2014 Gamma "))),
              2);
    EXPECT_TRUE(monitor.volume("UUID-Gamma")->driveFailing);
    h.volumeSystem.remove("/media/user/Gamma", /*ejected=*/true);
    EXPECT_EQ(monitor.volume("UUID-Gamma")->driveFailing, false);
    EXPECT_EQ(monitor.volume("UUID-Beta")->drive, "one");
}

} // namespace
} // namespace vornix
