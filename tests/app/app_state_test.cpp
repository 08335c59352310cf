#include "app/app_state.h"

#include "app_harness.h"

#include <gtest/gtest.h>

#include <limits>

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

TEST(AppState, OnlyUsableIntervalsAreReadOrTaken) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (double value : {0.0, -30.0, nan, inf, -inf, 0.5, 86401.0, 1.0, 90.0, 86400.0}) {
        const double expected = value >= 1 && value <= 86400 ? value : 45.0;
        AppHarness h;
        h.settings.raw["keepAliveInterval"] = value;
        EXPECT_EQ(h.create().keepAliveInterval.get(), expected) << value;
        h.app->toggleGlobalActive();
        h.app->updateInterval(value);
        EXPECT_EQ(h.app->vornix().interval(), expected) << value;
        EXPECT_EQ(h.settings.writes, expected == value ? 1 : 0) << value;
    }
}

TEST(AppState, CommandsHoldTheAssertionRunTheEngineAndRecordRefusals) {
    AppHarness h;
    h.power.refuse = true; // refused, the engine runs all the same
    h.loginItem.current = LoginItemStatus::requiresApproval;
    auto& app = h.create();
    app.toggleGlobalActive();
    EXPECT_TRUE(app.vornix().isRunning());
    app.shutdown();
    EXPECT_FALSE(app.vornix().isRunning());

    app.setLaunchAtLogin(true);
    app.setLaunchAtLogin(true);
    EXPECT_TRUE(app.launchAtLoginEnabled.get());
    EXPECT_EQ(h.loginItem.registerCalls, 1);
    h.loginItem.refusal = "Permission denied";
    app.setLaunchAtLogin(false);
    EXPECT_TRUE(app.launchAtLoginEnabled.get());
    EXPECT_EQ(app.eventLog().events.get().front().detail, "Login item: Permission denied");
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

} // namespace
} // namespace vornix
