#include "monitor_harness.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace vornix {
namespace {

using testing::externalVolumeValues;
using Kind = LogEvent::Kind;

struct DiscoveryTest : ::testing::Test, testing::MonitorHarness {};

// The four booleans, each missing (nullopt), true or false.
struct Facts {
    std::optional<bool> removable, ejectable, local, internal;
    bool accepted;
};

TEST_F(DiscoveryTest, AcceptanceFollowsTheFourBooleansWithMissingKeptApart) {
    const std::optional<bool> no = false, yes = true, unknown = std::nullopt;
    const Facts table[] = {
        {yes, unknown, unknown, unknown, true}, // only removable known
        {unknown, yes, unknown, unknown, true},
        {no, yes, yes, no, true},
        {yes, no, yes, no, true},
        {no, no, yes, no, false},
        {unknown, unknown, yes, no, false}, // missing is not true
        {no, unknown, unknown, unknown, false},
        {no, yes, yes, yes, false},     // internal rejects
        {yes, yes, no, no, false},      // network share
        {yes, yes, yes, unknown, true}, // missing internal passes
    };
    const auto show = [](std::optional<bool> b) { return b ? (*b ? "true" : "false") : "missing"; };
    start();
    int i = 0;
    for (const auto& f : table) {
        const std::string path = "/media/u/V" + std::to_string(i);
        const std::string uuid = "UUID-" + std::to_string(i++);
        system.plugIn(path, {"V", f.removable, f.ejectable, f.local, uuid, f.internal}, "sdz");
        EXPECT_EQ(monitor->volume(uuid).has_value(), f.accepted)
            << "removable " << show(f.removable) << ", ejectable " << show(f.ejectable)
            << ", local " << show(f.local) << ", internal " << show(f.internal);
    }
    // One mounted event per acceptance, none otherwise.
    EXPECT_EQ(log.events.get().size(),
              static_cast<std::size_t>(std::count_if(std::begin(table), std::end(table),
                                                     [](const Facts& f) { return f.accepted; })));
}

TEST_F(DiscoveryTest, OnlyMountsUnderTheMediaRootsAreCandidatesAndAreJudgedBeforeTheDisk) {
    start();
    const std::pair<const char*, bool> paths[] = {
        {"/", false},
        {"/mnt/usb", false},
        {"/media", false},
        {"/Volumes/X", false},
        {"/home/u/media/X", false},
        {"/media/u/X", true},
        {"/run/media/u/Y", true},
        {"/run/media", false},
    };
    for (const auto& [path, accepted] : paths) {
        system.diskArbitration.diskQueries.clear();
        system.plugIn(path, externalVolumeValues("N", std::string("U") + path), "sdb1");
        EXPECT_EQ(monitor->volume(std::string("U") + path).has_value(), accepted) << path;
        if (!accepted) {
            EXPECT_TRUE(system.diskArbitration.diskQueries.empty()) << path;
        }
    }
}

TEST_F(DiscoveryTest, VirtualProtocolsAreRejectedIgnoringCaseAndLeaveNoTrace) {
    start();
    const std::pair<std::optional<std::string>, bool> protocols[] = {
        {"USB", true},
        {std::nullopt, true},
        {"Disk Image", false},
        {"APPLE DISK IMAGE", false},
        {"virtual interface", false},
        {"File Backed Virtual", false},
        {"Diskimage", true}, // a fragment must match whole
    };
    int i = 0;
    for (const auto& [protocol, accepted] : protocols) {
        const std::string bsd = "loop" + std::to_string(i);
        const std::string path = "/media/u/P" + std::to_string(i++);
        system.plugIn(path, externalVolumeValues("P", std::nullopt), bsd, protocol);
        EXPECT_EQ(monitor->volume("path:" + path).has_value(), accepted)
            << protocol.value_or("(none)");
        if (!accepted) {
            // The rejected disk left no name mapping: the next volume on it starts afresh.
            system.plugIn(path + "b", externalVolumeValues("P", std::nullopt), bsd);
            EXPECT_TRUE(monitor->volume("path:" + path + "b")) << protocol.value_or("(none)");
        }
    }
}

TEST_F(DiscoveryTest, IdentifierIsTheUuidElseTheNamesLastIdentifierElseThePath) {
    start();
    system.plugIn("/media/u/A", externalVolumeValues("A", "1234-ABCD"), "sdb1");
    EXPECT_TRUE(monitor->volume("1234-ABCD"));

    // No UUID, a device name never seen: the path.
    system.plugIn("/media/u/NoId", externalVolumeValues(std::nullopt, std::nullopt), "sdc1");
    ASSERT_TRUE(monitor->volume("path:/media/u/NoId"));
    EXPECT_EQ(monitor->volume("path:/media/u/NoId")->name, "NoId");

    // It comes back under the same device name at another path: same identifier, same record.
    system.remove("/media/u/NoId", true);
    system.plugIn("/media/u/NoId1", externalVolumeValues("Renamed", std::nullopt), "sdc1");
    ASSERT_EQ(count(), 2u);
    const auto back = monitor->volume("path:/media/u/NoId");
    ASSERT_TRUE(back);
    EXPECT_EQ(back->mountPath, "/media/u/NoId1");
    EXPECT_EQ(back->name, "Renamed");
    EXPECT_TRUE(back->isCurrentlyMounted);

    // A volume with a UUID on a name once used by another keeps its own UUID.
    system.remove("/media/u/NoId1", true);
    system.plugIn("/media/u/B", externalVolumeValues("B", "B-UUID"), "sdc1");
    EXPECT_TRUE(monitor->volume("B-UUID"));
}

TEST_F(DiscoveryTest, WithoutASessionVolumesHaveNoDeviceNameOrProtocol) {
    system.diskArbitration.refuse = true;
    system.plugIn("/media/u/A", externalVolumeValues("A", "UA"), "sdb1", "USB", false);
    system.plugIn("/media/u/B", externalVolumeValues("B", std::nullopt), "sdc1", "Disk Image",
                  false);
    start();
    EXPECT_FALSE(monitor->hasSession());
    ASSERT_EQ(count(), 2u);
    EXPECT_EQ(monitor->volume("UA")->bsdName, std::nullopt);
    EXPECT_EQ(monitor->volume("UA")->connectionProtocol, std::nullopt);
    EXPECT_TRUE(monitor->volume("path:/media/u/B")); // no protocol, no virtual test
    EXPECT_TRUE(system.diskArbitration.diskQueries.empty());

    // Without disk arbitration nothing ever marks a volume as gone.
    system.diskArbitration.unmountRequested("sdb1");
    system.diskArbitration.disappeared("sdb1");
    EXPECT_TRUE(monitor->volume("UA")->isCurrentlyMounted);
}

TEST_F(DiscoveryTest, TheBootVolumeIsNeverACandidate) {
    system.catalog.root = VolumeResourceValues{.uuid = "ROOT"};
    system.plugIn("/media/u/Root", externalVolumeValues("R", "ROOT"), "sda2", "USB", false);
    system.plugIn("/media/u/Other", externalVolumeValues("O", "OTHER"), "sdb1", "USB", false);
    start();
    EXPECT_EQ(monitor->bootVolumeID(), "ROOT");
    EXPECT_FALSE(monitor->volume("ROOT"));
    EXPECT_TRUE(monitor->volume("OTHER"));

    // Unreadable "/" facts: no boot volume, nothing rejected for it.
    testing::MonitorHarness other;
    other.system.plugIn("/media/u/Root", externalVolumeValues("R", "ROOT"), "sda2", "USB", false);
    other.start();
    EXPECT_EQ(other.monitor->bootVolumeID(), std::nullopt);
    EXPECT_TRUE(other.monitor->volume("ROOT"));
}

TEST_F(DiscoveryTest, RefreshKeepsUserAndEngineStateAndPublishesEachField) {
    start();
    system.plugIn("/media/u/A", externalVolumeValues("A", "UA"), "sdb1", "USB");
    const auto pinged = time.now();
    monitor->markStatus("UA", VolumeStatus::active, pinged);
    monitor->setWatched("UA", false);

    int publications = 0;
    Subscription counter = monitor->volumes.subscribe([&](const auto&) { ++publications; });
    publications = 0;

    // A change of name: new path, new label, no device facts this time.
    system.catalog.unmount("/media/u/A");
    system.catalog.mount("/media/u/Alpha", externalVolumeValues("Alpha", "UA"));
    system.workspace.renamed("/media/u/Alpha");

    const auto v = *monitor->volume("UA");
    EXPECT_EQ(count(), 1u);
    EXPECT_EQ(v.name, "Alpha");
    EXPECT_EQ(v.mountPath, "/media/u/Alpha");
    EXPECT_FALSE(v.isWatched);
    EXPECT_EQ(v.status, VolumeStatus::active);
    EXPECT_EQ(v.lastPingAt, pinged);
    EXPECT_EQ(v.bsdName, "sdb1");           // unknown now, so kept
    EXPECT_EQ(v.connectionProtocol, "USB"); // likewise
    EXPECT_EQ(publications, 3);             // name, path, mounted
    EXPECT_EQ(kinds(), (std::vector{Kind::mounted, Kind::mounted}));
    EXPECT_EQ(latest().volumeName, "Alpha");
    EXPECT_EQ(latest().detail, "");

    // Known device facts are replaced and published too.
    system.diskArbitration.attach("/media/u/Alpha", "sdd1", "Thunderbolt");
    publications = 0;
    system.workspace.mounted("/media/u/Alpha");
    EXPECT_EQ(publications, 5);
    EXPECT_EQ(monitor->volume("UA")->bsdName, "sdd1");
    EXPECT_EQ(monitor->volume("UA")->connectionProtocol, "Thunderbolt");
}

TEST_F(DiscoveryTest, NewRecordIsAppendedMountedWatchedAndIdle) {
    start();
    system.plugIn("/media/u/A", externalVolumeValues("A", "UA"), "sdb1");
    system.plugIn("/run/media/u/B", externalVolumeValues(std::nullopt, "UB"), std::nullopt,
                  std::nullopt);
    ASSERT_EQ(count(), 2u);
    EXPECT_EQ(
        monitor->volumes.get()[1],
        (WatchedVolume{
            .id = "UB", .name = "B", .isCurrentlyMounted = true, .mountPath = "/run/media/u/B"}));
    EXPECT_EQ(monitor->volumes.get()[0].bsdName, "sdb1");
    EXPECT_EQ(monitor->volumes.get()[0].connectionProtocol, "USB");
    EXPECT_EQ(kinds(), (std::vector{Kind::mounted, Kind::mounted}));
}

TEST_F(DiscoveryTest, CreationOpensTheSessionBeforeTheScanWhichSkipsHiddenVolumes) {
    system.plugIn("/media/u/A", externalVolumeValues("A", "UA"), "sdb1", "USB", false);
    system.catalog.mount("/media/u/H", externalVolumeValues("H", "UH"), true);
    system.diskArbitration.attach("/media/u/H", "sdc1", "USB");
    start();
    EXPECT_EQ(system.catalog.valueReads.front(), "/");
    EXPECT_EQ(monitor->volume("UA")->bsdName, "sdb1"); // the scan had a session
    EXPECT_FALSE(monitor->volume("UH"));
    EXPECT_EQ(kinds(), std::vector{Kind::mounted});

    // Only the scan skips hidden volumes.
    system.workspace.mounted("/media/u/H");
    EXPECT_TRUE(monitor->volume("UH"));

    // Nothing reaches a destroyed monitor.
    monitor.reset();
    EXPECT_EQ(system.workspace.observerCount(), 0u);
    EXPECT_EQ(system.diskArbitration.openSessions(), 0u);
    system.workspace.mounted("/media/u/A");
    system.diskArbitration.disappeared("sdb1");
}

TEST_F(DiscoveryTest, UnusableAnswersAndNotificationsChangeNothing) {
    system.catalog.listAnswers = false;
    system.plugIn("/media/u/A", externalVolumeValues("A", "UA"), "sdb1", "USB", false);
    system.catalog.mount("/media/u/Unreadable", std::nullopt);
    start();
    EXPECT_EQ(count(), 0u);
    system.workspace.post({WorkspaceNotificationName::didMount, std::nullopt});
    system.workspace.post({WorkspaceNotificationName::didRenameVolume, ""});
    system.workspace.mounted("/media/u/Unreadable");
    system.workspace.mounted("/media/u/NotMounted");
    EXPECT_EQ(count(), 0u);
    EXPECT_TRUE(log.events.get().empty());
    system.workspace.mounted("/media/u/A"); // later notifications work as usual
    EXPECT_EQ(count(), 1u);
}

} // namespace
} // namespace vornix
