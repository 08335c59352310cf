#include "monitor_harness.h"

#include <gtest/gtest.h>

namespace vornix {
namespace {

// The registry's operations only; discovery and disk events fill the list in other tests.
struct RegistryTest : ::testing::Test, testing::MonitorHarness {
    std::vector<std::vector<WatchedVolume>> published;
    Subscription token;

    void SetUp() override {
        start();
        WatchedVolume a{
            .id = "A", .name = "Alpha", .isCurrentlyMounted = true, .mountPath = "/media/u/Alpha"};
        WatchedVolume b{
            .id = "B", .name = "Beta", .isCurrentlyMounted = true, .mountPath = "/media/u/Beta"};
        monitor->volumes = {a, b};
        token = monitor->volumes.subscribe([this](const auto& list) { published.push_back(list); });
        published.clear();
    }
};

TEST_F(RegistryTest, UnknownIdentifierChangesAndPublishesNothing) {
    const auto before = monitor->volumes.get();
    monitor->setWatched("missing", false);
    monitor->markStatus("missing", VolumeStatus::active, time.now());
    EXPECT_TRUE(published.empty());
    EXPECT_EQ(monitor->volumes.get(), before);
}

TEST_F(RegistryTest, MarkStatusPublishesStatusThenTime) {
    const auto at = time.now();
    monitor->markStatus("B", VolumeStatus::active, at);
    ASSERT_EQ(published.size(), 2u);
    EXPECT_EQ(published[0][1].status, VolumeStatus::active);
    EXPECT_EQ(published[0][1].lastPingAt, std::nullopt);
    EXPECT_EQ(published[1][1].lastPingAt, at);
    EXPECT_EQ(published[1][0], monitor->volumes.get()[0]); // the other record is untouched
}

TEST_F(RegistryTest, SameStatusStillPublishesAndNoTimeKeepsTheOldOne) {
    const auto at = time.now();
    monitor->markStatus("A", VolumeStatus::active, at);
    published.clear();
    monitor->markStatus("A", VolumeStatus::active, std::nullopt);
    monitor->markStatus("A", VolumeStatus::stalled, std::nullopt);
    EXPECT_EQ(published.size(), 2u);
    EXPECT_EQ(monitor->volume("A")->status, VolumeStatus::stalled);
    EXPECT_EQ(monitor->volume("A")->lastPingAt, at);
}

TEST_F(RegistryTest, SetWatchedTouchesOnlyTheFlag) {
    monitor->markStatus("A", VolumeStatus::active, time.now());
    const auto before = *monitor->volume("A");
    published.clear();
    monitor->setWatched("A", false);
    ASSERT_EQ(published.size(), 1u);
    auto expected = before;
    expected.isWatched = false;
    EXPECT_EQ(*monitor->volume("A"), expected);
}

TEST_F(RegistryTest, MarkStatusDoesNotConsultMountOrWatchState) {
    auto list = monitor->volumes.get();
    list[0].isCurrentlyMounted = false;
    list[0].mountPath.reset();
    list[0].isWatched = false;
    monitor->volumes = list;
    monitor->markStatus("A", VolumeStatus::readOnly, std::nullopt);
    EXPECT_EQ(monitor->volume("A")->status, VolumeStatus::readOnly);
}

TEST_F(RegistryTest, ChangeFromInsideDeliveryStandsAndIsDeliveredAgain) {
    Subscription excluder = monitor->volumes.subscribe([this](const auto& list) {
        for (const auto& v : list)
            if (v.id == "B" && v.isWatched)
                monitor->setWatched("B", false);
    });
    EXPECT_FALSE(monitor->volume("B")->isWatched);
    ASSERT_FALSE(published.empty());
    EXPECT_FALSE(published.back()[1].isWatched);
}

TEST(VolumeStatusTest, RawValuesRoundTripAndRejectOtherText) {
    for (auto status : {VolumeStatus::idle, VolumeStatus::active, VolumeStatus::stalled,
                        VolumeStatus::readOnly, VolumeStatus::full})
        EXPECT_EQ(volumeStatusFromRawValue(rawValue(status)), status);
    EXPECT_EQ(rawValue(VolumeStatus::readOnly), "readOnly");
    for (const char* text : {"Idle", "", "readonly", "full "})
        EXPECT_EQ(volumeStatusFromRawValue(text), std::nullopt) << text;
    EXPECT_EQ(std::hash<VolumeStatus>{}(VolumeStatus::full), std::hash<std::string_view>{}("full"));
}

} // namespace
} // namespace vornix
