#include "monitor_harness.h"

#include <gtest/gtest.h>

namespace vornix {
namespace {

using testing::externalVolumeValues;
using Kind = LogEvent::Kind;

struct DiskArbitrationTest : ::testing::Test, testing::MonitorHarness {
    void SetUp() override {
        start();
        system.plugIn("/media/u/Backup", externalVolumeValues("Backup", "UB"), "sdb1");
        monitor->markStatus("UB", VolumeStatus::active, time.now());
    }
    void expectGone(const std::string& id) {
        const auto v = monitor->volume(id);
        ASSERT_TRUE(v);
        EXPECT_FALSE(v->isCurrentlyMounted);
        EXPECT_EQ(v->mountPath, std::nullopt);
        EXPECT_EQ(v->status, VolumeStatus::idle);
    }
};

// Approval `approvalAge` seconds before the disappearance (none: no approval at all).
struct Departure {
    std::optional<double> approvalAge;
    bool watched;
    std::vector<Kind> recorded; // after the initial mounted event
};

TEST_F(DiskArbitrationTest, TheEjectWindowIsStrictlyTenSeconds) {
    const Departure table[] = {
        {2.0, true, {Kind::unmountedByUser}},
        {2.0, false, {Kind::unmountedByUser}}, // an eject is recorded whether watched or not
        {9.999, true, {Kind::unmountedByUser}},
        {10.0, true, {Kind::unexpectedDisconnect}},
        {10.0, false, {}},
        {3600.0, true, {Kind::unexpectedDisconnect}},
        {std::nullopt, true, {Kind::unexpectedDisconnect}},
        {std::nullopt, false, {}},
    };
    for (const auto& d : table) {
        SCOPED_TRACE(::testing::Message() << "approved " << d.approvalAge.value_or(-1)
                                          << " s before, watched " << d.watched);
        log.events = {};
        notifier.posted.clear();
        system.plugIn("/media/u/Backup", externalVolumeValues("Backup", "UB"), "sdb1");
        monitor->setWatched("UB", d.watched);
        const auto before = *monitor->volume("UB");
        if (d.approvalAge) {
            system.diskArbitration.unmountRequested("sdb1");
            time.advance(*d.approvalAge);
        }
        system.diskArbitration.disappeared("sdb1");

        auto expected = d.recorded;
        expected.insert(expected.begin(), Kind::mounted);
        EXPECT_EQ(kinds(), expected);
        if (!d.recorded.empty()) {
            EXPECT_EQ(latest().volumeName, "Backup");
        }
        EXPECT_EQ(notifier.posted.size(),
                  d.recorded == std::vector{Kind::unexpectedDisconnect} ? 1u : 0u);
        expectGone("UB");
        auto after = *monitor->volume("UB");
        EXPECT_EQ(after.lastPingAt, before.lastPingAt);
        EXPECT_EQ(after.bsdName, "sdb1");
        EXPECT_EQ(after.connectionProtocol, "USB");
        EXPECT_EQ(after.isWatched, d.watched);

        // The approval was used up: the next departure of the same disk has none.
        system.plugIn("/media/u/Backup", externalVolumeValues("Backup", "UB"), "sdb1");
        monitor->setWatched("UB", true);
        log.events = {};
        system.diskArbitration.disappeared("sdb1");
        EXPECT_EQ(kinds(), std::vector{Kind::unexpectedDisconnect});
    }
}

TEST_F(DiskArbitrationTest, TheLaterOfTwoApprovalsCounts) {
    system.diskArbitration.unmountRequested("sdb1");
    time.advance(8);
    system.diskArbitration.unmountRequested("sdb1");
    time.advance(8);
    system.diskArbitration.disappeared("sdb1");
    EXPECT_EQ(kinds(), (std::vector{Kind::mounted, Kind::unmountedByUser}));
}

TEST_F(DiskArbitrationTest, DisappearancesOfDisksWithoutAVolumeChangeNothing) {
    const auto before = monitor->volumes.get();
    system.diskArbitration.unmountRequested(std::nullopt);
    system.diskArbitration.disappeared(std::nullopt);
    system.diskArbitration.disappeared("sdb"); // the whole disk
    system.diskArbitration.disappeared("loop3");
    EXPECT_EQ(monitor->volumes.get(), before);
    EXPECT_EQ(kinds(), std::vector{Kind::mounted});

    // A rejected disk image never gets a name mapping, so its departure is ignored too.
    system.plugIn("/media/u/Image", externalVolumeValues("Image", "UI"), "loop0", "Disk Image");
    system.diskArbitration.disappeared("loop0");
    EXPECT_EQ(monitor->volumes.get(), before);

    // An approval for an unknown name is kept and used once a volume lives under that name.
    system.diskArbitration.unmountRequested("sdc1");
    time.advance(1);
    system.plugIn("/media/u/C", externalVolumeValues("C", "UC"), "sdc1");
    system.diskArbitration.disappeared("sdc1");
    EXPECT_EQ(kinds().back(), Kind::unmountedByUser);
}

TEST_F(DiskArbitrationTest, AppearedDisksAreConsideredOnlyWithAMountPoint) {
    system.catalog.mount("/media/u/New", externalVolumeValues("New", "UN"));
    system.diskArbitration.appeared(Disk{"sdc1", std::nullopt});
    system.diskArbitration.appeared(Disk{"sdc1", DiskDescription{"USB", std::nullopt}});
    EXPECT_FALSE(monitor->volume("UN"));
    system.diskArbitration.attach("/media/u/New", "sdc1", "USB");
    system.diskArbitration.appeared(Disk{"sdc1", DiskDescription{"USB", "/media/u/New"}});
    ASSERT_TRUE(monitor->volume("UN"));
    EXPECT_EQ(monitor->volume("UN")->bsdName, "sdc1");
    // Already listed: refreshed and recorded again.
    system.diskArbitration.appeared(Disk{"sdb1", DiskDescription{"USB", "/media/u/Backup"}});
    EXPECT_EQ(count(), 2u);
    EXPECT_EQ(kinds(), (std::vector{Kind::mounted, Kind::mounted, Kind::mounted}));
}

// A freed device name goes to the next drive; its departure must not touch a volume that is
// gone already or that lives under another name now.
TEST_F(DiskArbitrationTest, RecycledDeviceNamesNeverReachAVolumeThatIsNotTheirs) {
    // The volume was ejected; another drive, rejected (internal), now holds sdb1 and is pulled.
    system.remove("/media/u/Backup", true);
    log.events = {};
    const auto afterEject = monitor->volumes.get();
    system.plugIn("/media/u/Internal", {"I", false, false, true, "UI", true}, "sdb1");
    system.diskArbitration.disappeared("sdb1");
    EXPECT_EQ(monitor->volumes.get(), afterEject);
    EXPECT_TRUE(log.events.get().empty());
    EXPECT_TRUE(notifier.posted.empty());

    // The volume comes back as sdc1; a departure under its old name is ignored...
    system.plugIn("/media/u/Backup", externalVolumeValues("Backup", "UB"), "sdc1");
    log.events = {};
    system.diskArbitration.disappeared("sdb1");
    EXPECT_TRUE(monitor->volume("UB")->isCurrentlyMounted);
    EXPECT_EQ(monitor->volume("UB")->mountPath, "/media/u/Backup");
    EXPECT_TRUE(log.events.get().empty());

    // ...and one under its current name is not.
    system.diskArbitration.disappeared("sdc1");
    expectGone("UB");
    EXPECT_EQ(kinds(), std::vector{Kind::unexpectedDisconnect});
    EXPECT_EQ(notifier.posted.size(), 1u);
}

} // namespace
} // namespace vornix
