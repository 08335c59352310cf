// The Linux volume system against the real kernel: mounts, loop devices, FUSE and uevents, in a
// private mount namespace (see volume_sandbox_main.cpp).

#include "platform/linux/linux_volume_system.h"
#include "platform/linux/qt_main_queue.h"
#include "volumes/volume_monitor.h"

#include "log_fakes.h"
#include "qt_spin.h"
#include "volume_sandbox.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

namespace vornix::testing {
namespace {

namespace fs = std::filesystem;
using linux_platform::LinuxVolumeSystem;
using Kind = LogEvent::Kind;

struct VolumeSystemTest : ::testing::Test {
    std::unique_ptr<ScratchDir> scratch;
    std::string media;               // the test's media root, with its trailing "/"
    std::vector<std::string> mounts; // undone at the end, newest first

    void SetUp() override {
        if (const auto why = sandboxUnavailable())
            GTEST_SKIP() << *why;
        qtApp();
        scratch = std::make_unique<ScratchDir>();
        media = *scratch / "media/";
        fs::create_directories(media + "u");
    }
    void TearDown() override {
        for (auto it = mounts.rbegin(); it != mounts.rend(); ++it)
            unmount(*it, true);
    }

    LinuxVolumeSystem::Options options() const {
        LinuxVolumeSystem::Options o;
        o.mediaRoots = {media};
        o.blockEvents = linux_platform::BlockDeviceMonitor::Source::kernel;
        o.fstab = *scratch / "fstab";
        return o;
    }
    std::string image(const std::string& name, unsigned long long mib) {
        const std::string path = *scratch / name;
        fs::resize_file((std::ofstream(path), path), mib << 20);
        return path;
    }
    void mountAt(const std::string& source, const std::string& path, const std::string& type) {
        fs::create_directories(path);
        mountOrThrow(source, path, type);
        mounts.push_back(path);
    }
};

struct NotificationLog {
    std::vector<WorkspaceNotification> seen;
    std::vector<Subscription> tokens;
    explicit NotificationLog(WorkspaceNotifications& workspace) {
        for (const auto name :
             {WorkspaceNotificationName::didMount, WorkspaceNotificationName::didRenameVolume})
            tokens.push_back(workspace.observe(
                name, [this](const WorkspaceNotification& n) { seen.push_back(n); }));
    }
    bool has(const std::string& path) const {
        for (const auto& n : seen)
            if (n.volumePath == path)
                return true;
        return false;
    }
};

TEST_F(VolumeSystemTest, MountPointsWithEscapedCharactersAndLabelsWithQuotesOrUnicode) {
    const std::vector<std::string> awkward = {media + "u/a b", media + "u/tab\there",
                                              media + "u/new\nline", media + "u/back\\slash",
                                              media + "u/\xc3\x9cn\xc3\xaf \xf0\x9f\x98\x80"};
    for (const auto& path : awkward)
        mountAt("tmpfs", path, "tmpfs");

    // Hidden by the fstab: left out of the list, still announced when mounted.
    const std::string hidden = media + "u/hidden";
    std::ofstream(*scratch / "fstab")
        << "/dev/nothing " << hidden << " ext4 noauto,x-gvfs-hide 0 0\n";
    mountAt("tmpfs", hidden, "tmpfs");

    LinuxVolumeSystem system(options());
    NotificationLog notifications(system);
    EXPECT_EQ(system.mountedVolumePaths(), awkward);
    for (const auto& path : awkward)
        EXPECT_EQ(system.resourceValues(path), (VolumeResourceValues{.isLocal = true})) << path;

    // Labels as the file system holds them, at paths that need escaping in the mount table.
    const std::pair<std::string, std::string> labelled[] = {
        {"Q\"uo'te \\", media + "u/quote \"it's\"\n"},
        {"\xc3\x9cn\xc3\xaf\xf0\x9f\x98\x80", media + "u/\tunicode"},
    };
    std::vector<std::unique_ptr<LoopDevice>> loops;
    for (const auto& [label, path] : labelled) {
        const auto file = image("label" + std::to_string(loops.size()), 16);
        ASSERT_EQ(run({"mkfs.ext4", "-q", "-F", "-L", label, file}), 0);
        loops.push_back(std::make_unique<LoopDevice>(file));
        mountAt(loops.back()->node(), path, "ext4");
    }
    for (const auto& [label, path] : labelled) {
        ASSERT_TRUE(spinUntil([&] { return notifications.has(path); })) << path;
        const auto values = system.resourceValues(path);
        ASSERT_TRUE(values) << path;
        EXPECT_EQ(values->name, label);
        EXPECT_TRUE(values->uuid.has_value());
        EXPECT_EQ(values->isEjectable, false); // a loop device, shown as one
    }
    EXPECT_EQ(notifications.seen.size(), 2u);
}

TEST_F(VolumeSystemTest, AThousandUnrelatedMountsCauseNoNotifications) {
    const std::string elsewhere = *scratch / "unrelated/";
    for (int i = 0; i < 1000; ++i)
        mountAt("tmpfs", elsewhere + std::to_string(i), "tmpfs");
    LinuxVolumeSystem system(options());
    NotificationLog notifications(system);
    EXPECT_EQ(system.mountedVolumePaths(), std::vector<std::string>{});

    for (int i = 0; i < 10; ++i)
        unmount(elsewhere + std::to_string(i));
    mountAt("tmpfs", elsewhere + "more", "tmpfs");
    ASSERT_TRUE(spinUntil([&] { return system.counters().mountTableWakeUps > 0; }));
    system.processPendingChanges();
    EXPECT_TRUE(notifications.seen.empty());

    mountAt("tmpfs", media + "u/Stick", "tmpfs");
    system.processPendingChanges();
    ASSERT_EQ(notifications.seen.size(), 1u);
    EXPECT_EQ(notifications.seen[0].name, WorkspaceNotificationName::didMount);
    EXPECT_EQ(notifications.seen[0].volumePath, media + "u/Stick");
}

// From plugging in to pulling out, with the monitor on top, the way the program runs.
TEST_F(VolumeSystemTest, VolumesJoinLeaveAndComeBackThroughTheRealKernel) {
    const auto ext4Image = image("backup.img", 32);
    const auto xfsImage = image("archive.img", 300); // the smallest xfs mkfs makes
    const auto exfatImage = image("card.img", 16);
    const auto diskImage = image("image.img", 16);
    ASSERT_EQ(run({"mkfs.ext4", "-q", "-F", "-L", "Backup", "-U",
                   "0b2a2d4e-0000-4000-8000-00000000e4e4", ext4Image}),
              0);
    ASSERT_EQ(run({"mkfs.xfs", "-q", "-f", "-L", "Archive", "-m",
                   "uuid=0b2a2d4e-0000-4000-8000-0000000000f5", xfsImage}),
              0);
    const std::string cardLabel = "\xc3\x9cn\xc3\xaf \"q\"";
    ASSERT_EQ(run({"mkfs.exfat", "-L", cardLabel, exfatImage}), 0);
    ASSERT_EQ(run({"mkfs.ext4", "-q", "-F", "-L", "Image", "-U",
                   "0b2a2d4e-0000-4000-8000-0000000000ee", diskImage}),
              0);
    LoopDevice ext4(ext4Image), xfs(xfsImage), exfat(exfatImage), disk(diskImage);
    FakeUsbSysfs sysfs;
    sysfs.showAsUsb(ext4, 32 << 11);
    sysfs.showAsUsb(xfs, 300 << 11);
    sysfs.showAsUsb(exfat, 16 << 11);
    sysfs.showAsLoop(disk);
    const std::string ext4Id = "0b2a2d4e-0000-4000-8000-00000000e4e4";
    const std::string xfsId = "0b2a2d4e-0000-4000-8000-0000000000f5";
    const auto exfatId = linux_platform::probeFileSystem(exfat.node()).uuid;
    ASSERT_TRUE(exfatId);

    mountAt(xfs.node(), media + "u/Archive", "xfs"); // present at start

    linux_platform::SystemWallClock clock;
    RecordingSystemLog systemLog;
    RecordingNotifier notifier;
    EventLog log(clock, systemLog, notifier);
    LinuxVolumeSystem system(options());
    VolumeMonitor monitor(log, clock, system.ports());
    const auto latestKind = [&] { return log.events.get().front().kind; };
    const auto mounted = [&](const std::string& id) {
        const auto v = monitor.volume(id);
        return v && v->isCurrentlyMounted;
    };
    const auto left = [&](const std::string& id) {
        const auto v = monitor.volume(id);
        return v && !v->isCurrentlyMounted;
    };

    ASSERT_TRUE(monitor.hasSession());
    ASSERT_TRUE(monitor.volume(xfsId)) << "the scan finds what is mounted at start";
    EXPECT_EQ(monitor.volume(xfsId)->name, "Archive");
    EXPECT_EQ(monitor.volume(xfsId)->connectionProtocol, "USB");
    EXPECT_EQ(monitor.volume(xfsId)->bsdName, xfs.name());

    // Mounted: it joins the list under its label.
    mountAt(ext4.node(), media + "u/Backup", "ext4");
    ASSERT_TRUE(spinUntil([&] { return mounted(ext4Id); }));
    EXPECT_EQ(monitor.volume(ext4Id)->name, "Backup");
    EXPECT_EQ(monitor.volume(ext4Id)->bsdName, ext4.name());
    EXPECT_EQ(monitor.volume(ext4Id)->mountPath, media + "u/Backup");

    // Unmounted in good order: an eject by the user.
    unmount(media + "u/Backup");
    ASSERT_TRUE(spinUntil([&] { return left(ext4Id); }));
    EXPECT_EQ(latestKind(), Kind::unmountedByUser);
    EXPECT_EQ(monitor.volume(ext4Id)->mountPath, std::nullopt);

    // A new label, mounted again where the new label leads: the same record.
    ASSERT_EQ(run({"e2label", ext4.node(), "Backup2"}), 0);
    mountAt(ext4.node(), media + "u/Backup2", "ext4");
    ASSERT_TRUE(spinUntil([&] { return mounted(ext4Id); }));
    EXPECT_EQ(monitor.volume(ext4Id)->name, "Backup2");
    EXPECT_EQ(monitor.volumes.get().size(), 2u);

    // Pulled while mounted (the kernel says remove), and unmounted lazily at once as udisks
    // does, before the program wakes: both wake-ups are pending together, and whichever comes
    // first, it is one unexpected disconnect with one notification, never an eject.
    const auto wakeUps = system.counters().mountTableWakeUps;
    ext4.uevent("remove");
    unmount(media + "u/Backup2", true);
    ASSERT_TRUE(
        spinUntil([&] { return left(ext4Id) && system.counters().mountTableWakeUps > wakeUps; }));
    EXPECT_EQ(latestKind(), Kind::unexpectedDisconnect);
    EXPECT_EQ(notifier.posted.size(), 1u);

    // Plugged in again: the record is reused.
    ext4.uevent("add");
    mountAt(ext4.node(), media + "u/Backup2", "ext4");
    ASSERT_TRUE(spinUntil([&] { return mounted(ext4Id); }));
    EXPECT_EQ(monitor.volumes.get().size(), 2u);
    EXPECT_EQ(latestKind(), Kind::mounted);

    // An unwatched volume is pulled: its record leaves, nothing is recorded.
    monitor.setWatched(xfsId, false);
    const auto beforeUnwatched = log.events.get().size();
    xfs.uevent("remove");
    ASSERT_TRUE(spinUntil([&] { return left(xfsId); }));
    EXPECT_EQ(log.events.get().size(), beforeUnwatched);
    unmount(media + "u/Archive", true);

    // exFAT through FUSE, as many external drives run: joins under its label, pulled, notified.
    const std::string cardPath = media + "u/" + cardLabel;
    fs::create_directories(cardPath);
    ASSERT_EQ(run({"mount.exfat-fuse", exfat.node(), cardPath}), 0);
    mounts.push_back(cardPath);
    ASSERT_TRUE(spinUntil([&] { return mounted(*exfatId); }));
    EXPECT_EQ(monitor.volume(*exfatId)->name, cardLabel);
    EXPECT_EQ(monitor.volume(*exfatId)->connectionProtocol, "USB");
    exfat.uevent("remove");
    ASSERT_TRUE(spinUntil([&] { return left(*exfatId); }));
    EXPECT_EQ(latestKind(), Kind::unexpectedDisconnect);
    EXPECT_EQ(notifier.posted.size(), 2u);
    unmount(cardPath, true);

    // A loop device shown as what it is, a disk image, is never a candidate.
    mountAt(disk.node(), media + "u/Image", "ext4");
    system.processPendingChanges();
    EXPECT_EQ(system.classification(media + "u/Image")->protocol, "Disk Image");
    EXPECT_FALSE(monitor.volume("0b2a2d4e-0000-4000-8000-0000000000ee"));

    unmount(media + "u/Backup2");
    ASSERT_TRUE(spinUntil([&] { return left(ext4Id); }));
    EXPECT_EQ(latestKind(), Kind::unmountedByUser);
}

} // namespace
} // namespace vornix::testing
