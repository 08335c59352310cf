#include "volumes/volume_monitor.h"

#include "log_fakes.h"
#include "virtual_time.h"
#include "volume_fakes.h"

#include <gtest/gtest.h>

#include <ranges>

namespace vornix {
namespace {

using testing::externalVolumeValues;
using Kind = LogEvent::Kind;
using Event = VolumeEvent::Kind;
using enum ConnectionBus;
const std::optional<bool> T = true, F = false, U = std::nullopt;

struct MonitorTest : ::testing::Test {
    testing::VirtualTime time;
    testing::RecordingSystemLog systemLog;
    testing::RecordingNotifier notifier;
    EventLog log{time, systemLog, notifier};
    testing::FakeVolumeSystem system;
    VolumeMonitor::ExclusionRule excluded;
    std::unique_ptr<VolumeMonitor> monitor;

    void start() { monitor = std::make_unique<VolumeMonitor>(log, time, system.ports(), excluded); }
    std::vector<Kind> kinds() const { // oldest first
        auto all = log.events.get() | std::views::reverse | std::views::transform(&LogEvent::kind);
        return {all.begin(), all.end()};
    }
    std::optional<bool> mounted(const std::string& id) const {
        const auto v = monitor->volume(id);
        return v ? std::optional(v->isCurrentlyMounted) : std::nullopt;
    }
};

TEST_F(MonitorTest, CandidatesByTriStateFactsWhereverMounted) {
    const struct {
        std::optional<bool> removable, hotPluggable, network, internal, isVirtual;
        const char* path;
        bool accepted;
    } rows[] = {
        {T, U, U, U, U, "/media/u/A", true}, // only removable known
        {U, T, U, U, U, "/media/u/A", true},
        {T, F, F, F, F, "/run/media/u/A", true},
        {T, T, F, U, F, "/media/u/A", true}, // missing internal passes
        {F, F, F, F, F, "/media/u/A", false},
        {U, U, F, F, F, "/media/u/A", false}, // missing is not true
        {F, T, F, T, F, "/media/u/A", false}, // internal rejects
        {T, T, T, F, F, "/media/u/A", false}, // network share
        {T, T, F, F, F, "/mnt/usb", true},    // fstab mounts of external disks
        {T, T, F, F, F, "/home/u/media/A", true},
        {T, T, F, F, T, "/media/u/A", false}, // a disk image, however it looks
    };
    start();
    int i = 0;
    for (const auto& r : rows) {
        auto facts = externalVolumeValues("A", "U" + std::to_string(++i));
        facts.isRemovable = r.removable, facts.isHotPluggable = r.hotPluggable;
        facts.isNetworkFileSystem = r.network, facts.isInternal = r.internal;
        facts.isVirtual = r.isVirtual;
        system.plugIn(r.path, facts, "sd" + std::to_string(i));
        EXPECT_EQ(monitor->volume(*facts.uuid).has_value(), r.accepted) << "row " << i;
    }
    EXPECT_EQ(kinds(), std::vector<Kind>(monitor->volumes.get().size(), Kind::mounted));
}

TEST_F(MonitorTest, IdentifiersBootVolumeAndTheScanAtCreation) {
    system.rootUuid = "ROOT";
    system.listAnswers = false;
    system.plugIn("/media/u/Root", externalVolumeValues("R", "ROOT"), "sda2", usb, false);
    start();
    system.post(Event::mounted, {});                // no path
    system.post(Event::deviceGoneWhileMounted, {}); // no device name
    EXPECT_TRUE(monitor->volumes.get().empty());
    system.listAnswers = true;
    start();
    EXPECT_TRUE(monitor->volumes.get().empty()) << "the boot volume is never a candidate";
    // No UUID: the device name's identifier, else the path; back under the same device name at
    // another path, the same record.
    system.plugIn("/media/u/NoId", externalVolumeValues(std::nullopt, std::nullopt), "sdc1");
    EXPECT_EQ(monitor->volume("path:/media/u/NoId")->name, "NoId");
    system.remove("/media/u/NoId", true);
    system.plugIn("/media/u/NoId1", externalVolumeValues("Renamed", std::nullopt), "sdc1");
    EXPECT_EQ(monitor->volume("path:/media/u/NoId")->mountPath, "/media/u/NoId1");
    // A volume with a UUID on a name once used by another keeps its own UUID.
    system.remove("/media/u/NoId1", true);
    system.plugIn("/media/u/B", externalVolumeValues("B", "B-UUID"), "sdc1");
    EXPECT_EQ(monitor->volumes.get().size(), 2u);
    EXPECT_EQ(mounted("B-UUID"), true);

    system.rootUuid.reset(); // unreadable: no boot volume, nothing rejected for it
    start();
    EXPECT_EQ(mounted("ROOT"), true);
    monitor.reset();
    EXPECT_EQ(system.watchers.size(), 0u) << "nothing reaches a destroyed monitor";
}

TEST_F(MonitorTest, ARenameRefreshesTheRecordWhereANewVolumeIsAppendedWatchedUnlessExcluded) {
    excluded = [](const std::string& id) { return id == "UB"; };
    start();
    system.plugIn("/media/u/A", externalVolumeValues("A", "UA"), "sdb1");
    monitor->markStatus("UA", VolumeStatus::active, time.now());
    monitor->setWatched("UA", false);
    auto facts = externalVolumeValues("Alpha", "UA");
    facts.mountPath = "/media/u/Alpha"; // no device facts this time: the known ones stay
    system.post(Event::renamed, facts);
    system.plugIn("/run/media/u/B", externalVolumeValues(std::nullopt, "UB"), "sdd1", cardReader);
    WatchedVolume a{.id = "UA", .name = "Alpha", .kernelName = "sdb1", .connectionProtocol = usb},
        b{.id = "UB", .name = "B", .kernelName = "sdd1", .connectionProtocol = cardReader};
    a.isCurrentlyMounted = b.isCurrentlyMounted = true;
    a.mountPath = "/media/u/Alpha", b.mountPath = "/run/media/u/B";
    a.isWatched = b.isWatched = false, a.status = VolumeStatus::active, a.lastPingAt = time.now();
    EXPECT_EQ(monitor->volumes.get(), (std::vector{a, b}));
    EXPECT_EQ(kinds(), std::vector<Kind>(3, Kind::mounted));
}

// The one rule: an unmount with the device still there is the user's eject, recorded whether
// watched or not; a device gone while mounted is a disconnect, told only for a watched volume.
TEST_F(MonitorTest, EjectOrPullAndWatchDecideWhatIsRecordedAndNotified) {
    start();
    for (const auto& [ejected, watched, recorded] :
         {std::tuple(true, true, std::vector{Kind::unmountedByUser}),
          std::tuple(true, false, std::vector{Kind::unmountedByUser}),
          std::tuple(false, true, std::vector{Kind::unexpectedDisconnect}),
          std::tuple(false, false, std::vector<Kind>{})}) {
        SCOPED_TRACE(::testing::Message() << "ejected " << ejected << ", watched " << watched);
        system.plugIn("/media/u/Backup", externalVolumeValues("Backup", "UB"), "sdb1");
        monitor->markStatus("UB", VolumeStatus::active, time.now());
        monitor->setWatched("UB", watched);
        log.events = {};
        notifier.posted.clear();
        system.remove("/media/u/Backup", ejected);
        system.post(Event::deviceGoneWhileMounted, {.kernelName = "sdb1"}); // reported once only
        EXPECT_EQ(kinds(), recorded);
        EXPECT_EQ(notifier.posted.size(), recorded == std::vector{Kind::unexpectedDisconnect});
        const auto v = *monitor->volume("UB");
        EXPECT_EQ(std::tie(v.isCurrentlyMounted, v.mountPath, v.status, v.kernelName),
                  std::tuple(false, std::nullopt, VolumeStatus::idle, "sdb1"));
    }
}

// A freed device name goes to the next drive; its departure must not touch a volume that is
// gone already or that lives under another name now.
TEST_F(MonitorTest, RecycledDeviceNamesNeverReachAVolumeThatIsNotTheirs) {
    start();
    system.plugIn("/media/u/Backup", externalVolumeValues("Backup", "UB"), "sdb1");
    system.remove("/media/u/Backup", true);
    system.plugIn("/media/u/Internal", {.isHotPluggable = F, .uuid = "UI", .isInternal = T},
                  "sdb1");
    system.remove("/media/u/Internal", false);
    system.plugIn("/media/u/Backup", externalVolumeValues("Backup", "UB"), "sdc1");
    system.post(Event::deviceGoneWhileMounted, {.kernelName = "sdb1"});
    EXPECT_EQ(mounted("UB"), true);
    system.post(Event::deviceGoneWhileMounted, {.kernelName = "sdc1"});
    EXPECT_EQ(mounted("UB"), false);
    EXPECT_EQ(kinds(), (std::vector{Kind::mounted, Kind::unmountedByUser, Kind::mounted,
                                    Kind::unexpectedDisconnect}));
}

TEST_F(MonitorTest, ClonesWithOneUuidGetARowEachWithIdentifiersStableAcrossMountOrders) {
    const auto clone = [](const char* key) {
        auto facts = externalVolumeValues("Backup", "C");
        facts.hardwareKey = key;
        return facts;
    };
    for (const bool smallerFirst : {true, false}) { // present at start: the smaller key is "C"
        system.mounted.clear();
        system.plugIn("/media/u/X", clone(smallerFirst ? "S1" : "S2"), "sdb1", usb, false);
        system.plugIn("/media/u/Y", clone(smallerFirst ? "S2" : "S1"), "sdc1", usb, false);
        start();
        EXPECT_EQ(monitor->volume("C")->kernelName, smallerFirst ? "sdb1" : "sdc1");
        EXPECT_EQ(monitor->volume("C:S2")->kernelName, smallerFirst ? "sdc1" : "sdb1");
    }
    // Each is switched and pulled on its own and comes back to its own record.
    monitor->setWatched("C:S2", false);
    EXPECT_TRUE(monitor->volume("C")->isWatched);
    system.remove("/media/u/X", false);
    system.plugIn("/media/u/X", clone("S2"), "sdd1");
    system.remove("/media/u/Y", false);
    EXPECT_EQ(kinds().back(), Kind::unexpectedDisconnect);
    EXPECT_EQ(std::pair(mounted("C:S2"), mounted("C")), std::pair(T, F));
    // Copies that no key tells apart still get a row each, told apart by device name.
    system.plugIn("/media/u/Z1", clone("S9"), "sde1");
    system.plugIn("/media/u/Z2", clone("S9"), "sdf1");
    EXPECT_EQ(std::pair(mounted("C:S9"), mounted("C:S9:sdf1")), std::pair(T, T));
    EXPECT_EQ(monitor->volumes.get().size(), 4u);
}

} // namespace
} // namespace vornix
