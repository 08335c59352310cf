#include "app/app_state.h"

#include "app_harness.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace vornix {
namespace {

using Kind = LogEvent::Kind;
using testing::AppHarness;

std::vector<Kind> kinds(const EventLog& log) {
    std::vector<Kind> out;
    for (const auto& e : log.events.get())
        out.push_back(e.kind);
    return out;
}

TEST(AppStateCreation, FirstLaunchStartsIdleWithDefaultsAndRunsNothing) {
    AppHarness h;
    h.presentAtLaunch("UUID-A", "Alpha");
    auto& app = h.create();
    EXPECT_FALSE(app.isActive.get());
    EXPECT_EQ(app.keepAliveInterval.get(), 45.0);
    EXPECT_FALSE(app.launchAtLoginEnabled.get());
    EXPECT_EQ(h.notifier.authorizationRequests, 1);
    EXPECT_TRUE(h.power.holds.empty());
    ASSERT_EQ(app.volumeMonitor().volumes.get().size(), 1u);
    EXPECT_TRUE(app.volumeMonitor().volumes.get()[0].isWatched);
    // Only the discovery of the volume present at start is recorded; no timer runs.
    EXPECT_EQ(kinds(app.eventLog()), std::vector<Kind>{Kind::mounted});
    h.time.advance(600);
    EXPECT_EQ(h.pingCount(), 0);
    EXPECT_EQ(h.settings.writes, 0);
}

TEST(AppStateCreation, StoredIntervalIsUsedOnlyWhenUsable) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<std::pair<std::optional<double>, double>> cases{
        {std::nullopt, 45}, {0, 45},    {-30, 45},   {nan, 45},     {inf, 45},
        {-inf, 45},         {0.5, 45},  {86401, 45}, {1e300, 45},   {1, 1},
        {90, 90},           {120, 120}, {30, 30},    {86400, 86400}};
    for (const auto& [stored, expected] : cases) {
        AppHarness h;
        if (stored)
            h.settings.raw["keepAliveInterval"] = *stored;
        EXPECT_EQ(h.create().keepAliveInterval.get(), expected)
            << (stored ? std::to_string(*stored) : "missing");
    }
    AppHarness text;
    text.settings.raw["keepAliveInterval"] = std::string("fast");
    EXPECT_EQ(text.create().keepAliveInterval.get(), 45.0);
}

TEST(AppStateCreation, LaunchAtLoginReadsOnlyEnabledAsOn) {
    for (auto [status, expected] : {std::pair{LoginItemStatus::enabled, true},
                                    {LoginItemStatus::requiresApproval, false},
                                    {LoginItemStatus::notFound, false},
                                    {LoginItemStatus::notRegistered, false}}) {
        AppHarness h;
        h.loginItem.current = status;
        EXPECT_EQ(h.create().launchAtLoginEnabled.get(), expected);
    }
}

TEST(AppStateExclusions, StoredExclusionsApplyAtLaunchWithoutRewritingTheStore) {
    AppHarness h;
    h.settings.raw["excludedVolumeIDs"] = std::vector<std::string>{"UUID-B", "UUID-GONE"};
    h.presentAtLaunch("UUID-A", "Alpha");
    h.presentAtLaunch("UUID-B", "Beta");
    auto& app = h.create();
    EXPECT_TRUE(app.volumeMonitor().volume("UUID-A")->isWatched);
    EXPECT_FALSE(app.volumeMonitor().volume("UUID-B")->isWatched);
    EXPECT_EQ(h.settings.writes, 0);
}

TEST(AppStateExclusions, ExcludedVolumeMountedLaterIsNeverPinged) {
    AppHarness h;
    h.settings.raw["excludedVolumeIDs"] = std::vector<std::string>{"UUID-B"};
    auto& app = h.create();
    app.toggleGlobalActive();
    h.time.advance(1);
    h.mountLater("UUID-B", "Beta");
    EXPECT_FALSE(app.volumeMonitor().volume("UUID-B")->isWatched);
    h.time.advance(600);
    EXPECT_EQ(h.pingCount("UUID-B"), 0);
}

TEST(AppStateExclusions, ToggleKeepsExclusionsOfDrivesNotSeenSinceLaunch) {
    AppHarness h;
    h.settings.raw["excludedVolumeIDs"] = std::vector<std::string>{"UUID-ABSENT"};
    h.presentAtLaunch("UUID-A", "Alpha");
    h.presentAtLaunch("UUID-B", "Beta");
    auto& app = h.create();
    using Ids = std::vector<std::string>;
    auto stored = [&] { return std::get<Ids>(h.settings.raw.at("excludedVolumeIDs")); };

    app.toggleVolume("UUID-A"); // off
    EXPECT_EQ(stored(), (Ids{"UUID-A", "UUID-ABSENT"}));
    app.toggleVolume("UUID-A"); // on again
    EXPECT_EQ(stored(), (Ids{"UUID-ABSENT"}));

    // The absent drive comes back: it is excluded, and switching it on drops its entry.
    h.mountLater("UUID-ABSENT", "Gamma");
    EXPECT_FALSE(app.volumeMonitor().volume("UUID-ABSENT")->isWatched);
    app.toggleVolume("UUID-ABSENT");
    EXPECT_EQ(stored(), Ids{});

    const int writes = h.settings.writes;
    app.toggleVolume("UUID-NOT-LISTED");
    EXPECT_EQ(h.settings.writes, writes);
}

TEST(AppStateCommands, GlobalSwitchHoldsTheAssertionRunsTheEngineAndRecords) {
    AppHarness h;
    h.presentAtLaunch("UUID-A", "Alpha");
    auto& app = h.create();
    app.toggleGlobalActive();
    EXPECT_TRUE(app.isActive.get());
    EXPECT_TRUE(app.powerAssertionManager().isAsserted());
    EXPECT_EQ(h.power.holds.size(), 1u);
    EXPECT_EQ(h.power.holds[0], "Vornix is keeping external drives awake");
    h.time.runPending();
    EXPECT_EQ(h.pingCount("UUID-A"), 1); // the first tick comes at once

    app.toggleGlobalActive();
    EXPECT_FALSE(app.powerAssertionManager().isAsserted());
    EXPECT_FALSE(app.vornix().isRunning());
    const auto& events = app.eventLog().events.get();
    std::vector<Kind> switches;
    for (const auto& e : events)
        if (e.kind == Kind::sleepPreventionStarted || e.kind == Kind::sleepPreventionStopped) {
            switches.push_back(e.kind);
            EXPECT_EQ(e.volumeName, std::nullopt);
            EXPECT_EQ(e.detail, "");
        }
    EXPECT_EQ(switches,
              (std::vector<Kind>{Kind::sleepPreventionStopped, Kind::sleepPreventionStarted}));
}

TEST(AppStateCommands, RefusedAssertionStillStartsTheEngineAndRecords) {
    AppHarness h;
    h.power.refuse = true;
    auto& app = h.create();
    app.toggleGlobalActive();
    EXPECT_FALSE(app.powerAssertionManager().isAsserted());
    EXPECT_TRUE(app.vornix().isRunning());
    EXPECT_EQ(kinds(app.eventLog()).front(), Kind::sleepPreventionStarted);
}

TEST(AppStateCommands, IntervalIdleThenActive) {
    AppHarness h;
    h.presentAtLaunch("UUID-A", "Alpha");
    auto& app = h.create();
    app.updateInterval(120);
    EXPECT_EQ(std::get<double>(h.settings.raw.at("keepAliveInterval")), 120.0);
    EXPECT_FALSE(app.vornix().isRunning());

    app.toggleGlobalActive();
    EXPECT_EQ(app.vornix().interval(), 120.0);
    h.time.runPending();
    const int afterStart = h.pingCount("UUID-A");
    app.updateInterval(60); // restarts at once with the new interval
    h.time.runPending();
    EXPECT_EQ(h.pingCount("UUID-A"), afterStart + 1);
    EXPECT_EQ(app.vornix().interval(), 60.0);
    h.time.advance(60);
    EXPECT_EQ(h.pingCount("UUID-A"), afterStart + 2);
}

TEST(AppStateCommands, ShutdownReleasesRecordsNothingAndMayRunTwice) {
    AppHarness h;
    auto& app = h.create();
    app.shutdown(); // idle: nothing to do
    EXPECT_EQ(h.power.releases, 0);

    app.toggleGlobalActive();
    const auto eventsBefore = app.eventLog().events.get().size();
    app.shutdown();
    app.shutdown();
    EXPECT_TRUE(app.isActive.get());
    EXPECT_FALSE(app.powerAssertionManager().isAsserted());
    EXPECT_FALSE(app.vornix().isRunning());
    EXPECT_EQ(h.power.releases, 1);
    EXPECT_EQ(app.eventLog().events.get().size(), eventsBefore);
}

TEST(AppStateCommands, LaunchAtLoginFollowsThePlatformAndRecordsRefusals) {
    AppHarness h;
    auto& app = h.create();
    app.setLaunchAtLogin(true);
    EXPECT_TRUE(app.launchAtLoginEnabled.get());

    h.loginItem.statusAfterRegister = LoginItemStatus::requiresApproval;
    h.loginItem.current = LoginItemStatus::notRegistered;
    app.setLaunchAtLogin(true);
    EXPECT_FALSE(app.launchAtLoginEnabled.get());

    h.loginItem.current = LoginItemStatus::enabled;
    app.setLaunchAtLogin(true); // refresh from the platform
    h.loginItem.refusal = "Permission denied";
    app.setLaunchAtLogin(false);
    EXPECT_TRUE(app.launchAtLoginEnabled.get()); // unchanged
    const auto& latest = app.eventLog().events.get().front();
    EXPECT_EQ(latest.kind, Kind::pingFailed);
    EXPECT_EQ(latest.volumeName, std::nullopt);
    EXPECT_EQ(latest.detail, "Login item: Permission denied");
}

} // namespace
} // namespace vornix
