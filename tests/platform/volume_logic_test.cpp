// The Linux volume adapters' pure parts: classification of device facts and the lifecycle of the
// devices under the media roots.

#include "platform/linux/disk_lifecycle.h"
#include "platform/linux/volume_classification.h"

#include <gtest/gtest.h>

#include <sys/sysmacros.h>

#include <map>
#include <tuple>

namespace vornix::linux_platform {
namespace {

using Kind = VolumeReport::Kind;

BlockDeviceFacts usbPartition() {
    return {.kernelName = "sdb1",
            .devpath = "/devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/"
                       "6:0:0:0/block/sdb/sdb1",
            .busChain = {"block", "scsi", "scsi", "scsi", "usb", "usb", "usb", "pci"},
            .removable = true,
            .fsUuid = "1234-ABCD",
            .fsLabel = "STICK"};
}

TEST(VolumeClassificationTest, DeviceFactsGiveResourceValuesAndProtocol) {
    const MountFacts mount{"/media/u/X", "ext4", "rw,relatime"};
    struct Case {
        const char* what;
        BlockDeviceFacts device;
        std::optional<bool> removable, ejectable, internal;
        std::optional<std::string> protocol;
    };
    auto usbDisk = usbPartition();
    usbDisk.removable = false; // USB hard disks often say so
    auto sata = BlockDeviceFacts{
        .kernelName = "sda2",
        .devpath = "/devices/pci0000:00/0000:00:17.0/ata3/host2/target2:0:0/2:0:0:0/block/sda/sda2",
        .busChain = {"block", "scsi", "scsi", "scsi", "pci"},
        .removable = false};
    auto nvme = BlockDeviceFacts{.kernelName = "nvme0n1p2",
                                 .devpath = "/devices/pci0000:00/0000:00:1d.0/0000:3c:00.0/nvme/"
                                            "nvme0/nvme0n1/nvme0n1p2",
                                 .busChain = {"block", "nvme", "pci", "pci"},
                                 .removable = false};
    auto thunderboltNvme = nvme;
    thunderboltNvme.removableAncestor = true;
    auto sdCard = BlockDeviceFacts{.kernelName = "mmcblk0p1",
                                   .devpath = "/devices/pci0000:00/0000:00:1c.0/0000:02:00.0/"
                                              "mmc_host/mmc0/mmc0:aaaa/block/mmcblk0/mmcblk0p1",
                                   .busChain = {"block", "mmc", "mmc_host", "pci", "pci"},
                                   .removable = false};
    auto firewire = BlockDeviceFacts{
        .kernelName = "sdc1",
        .devpath = "/devices/pci0000:00/fw1/fw1.0/host7/target7:0:0/7:0:0:0/block/sdc/sdc1",
        .busChain = {"block", "scsi", "scsi", "scsi", "firewire", "firewire", "pci"},
        .removable = false};
    auto loop = BlockDeviceFacts{
        .kernelName = "loop0", .devpath = "/devices/virtual/block/loop0", .removable = false};
    auto crypt = BlockDeviceFacts{.kernelName = "dm-0", .devpath = "/devices/virtual/block/dm-0"};
    auto zram = BlockDeviceFacts{
        .kernelName = "zram0", .devpath = "/devices/virtual/block/zram0", .removable = false};
    auto unknownRemovable = sata;
    unknownRemovable.removable.reset();

    const std::optional<bool> T = true, F = false, U = std::nullopt;
    const Case cases[] = {
        {"USB stick", usbPartition(), T, T, F, "USB"},
        {"USB hard disk", usbDisk, F, T, F, "USB"},
        {"SATA disk", sata, F, F, T, "SATA"},
        {"internal NVMe", nvme, F, F, T, "NVMe"},
        {"NVMe behind Thunderbolt", thunderboltNvme, F, T, F, "NVMe"},
        {"SD card", sdCard, F, T, F, "SD Card"},
        {"FireWire disk", firewire, F, T, F, "FireWire"},
        {"loop device", loop, F, F, T, "Disk Image"},
        {"dm-crypt", crypt, U, F, U, "Virtual Interface"},
        {"zram", zram, F, F, T, "Virtual Interface"},
        {"removable unknown, fixed bus", unknownRemovable, U, F, U, "SATA"},
    };
    for (const auto& c : cases) {
        auto device = c.device;
        device.fsLabel.reset();
        device.fsUuid.reset();
        const auto got = classifyVolume(mount, device);
        EXPECT_EQ(got.volume, (MountedVolume{.mountPath = mount.target,
                                             .isRemovable = c.removable,
                                             .isEjectable = c.ejectable,
                                             .isLocal = true,
                                             .isInternal = c.internal,
                                             .bsdName = c.device.kernelName,
                                             .protocol = c.protocol}))
            << c.what;
        EXPECT_FALSE(got.hidden) << c.what;
    }
}

TEST(VolumeClassificationTest, NamesUuidsFileSystemsAndHiding) {
    auto device = usbPartition();
    auto got = classifyVolume({"/media/u/S", "vfat", "rw"}, device);
    EXPECT_EQ(got.volume.name, "STICK");
    EXPECT_EQ(got.volume.uuid, "1234-ABCD");

    device.fsLabel = "";
    device.fsUuid = "";
    got = classifyVolume({"/media/u/S", "vfat", "rw"}, device);
    EXPECT_EQ(got.volume.name, std::nullopt); // the monitor falls back to the path
    EXPECT_EQ(got.volume.uuid, std::nullopt);

    // What tells a clone apart: serial and partition, else the partition UUID.
    const std::tuple<std::optional<std::string>, std::optional<std::string>,
                     std::optional<std::string>, std::optional<std::string>>
        keys[] = {{"S123", "1", "P-UUID", "S123-part1"},
                  {"S123", std::nullopt, "P-UUID", "S123"},
                  {"", "1", "P-UUID", "P-UUID"},
                  {std::nullopt, "1", std::nullopt, std::nullopt}};
    for (const auto& [serial, partition, partitionUuid, key] : keys) {
        device.serial = serial;
        device.partition = partition;
        device.partitionUuid = partitionUuid;
        EXPECT_EQ(hardwareKey(device), key) << key.value_or("none");
    }

    // No block device: only locality is known, so the monitor rejects it.
    const std::pair<const char*, bool> types[] = {
        {"tmpfs", true}, {"fuseblk", true},     {"nfs4", false},     {"cifs", false},
        {"9p", false},   {"fuse.sshfs", false}, {"fuse.exfat", true}};
    for (const auto& [type, local] : types) {
        got = classifyVolume({"/media/u/N", type, "rw"}, std::nullopt);
        EXPECT_EQ(got.volume, (MountedVolume{.mountPath = "/media/u/N", .isLocal = local})) << type;
    }

    const std::pair<const char*, bool> options[] = {
        {"rw,x-gvfs-hide", true},
        {"x-gvfs-hide=1,ro", true},
        {"rw,x-gvfs-hidden", false},
        {"rw,x-gvfs-show", false},
        {"", false},
    };
    for (const auto& [opts, hidden] : options)
        EXPECT_EQ(classifyVolume({"/media/u/H", "ext4", opts}, usbPartition()).hidden, hidden)
            << opts;
    device = usbPartition();
    device.udisksIgnore = true;
    EXPECT_TRUE(classifyVolume({"/media/u/H", "ext4", "rw"}, device).hidden);
}

TEST(VolumeClassificationTest, UdevEscapesDecode) {
    const std::pair<const char*, const char*> cases[] = {
        {"My\\x20\\x22Disk\\x22", "My \"Disk\""},
        {"back\\x5cslash", "back\\slash"},
        {"\xc3\x9cn\xc3\xaf", "\xc3\x9cn\xc3\xaf"}, // UTF-8 passes through
        {"bad\\x2", "bad\\x2"},
        {"bad\\xZZ", "bad\\xZZ"},
        {"\\", "\\"},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(decodeUdevEscapes(in), out) << in;
}

// ---- the lifecycle

struct FakeProbe final : DeviceProbe {
    std::map<dev_t, DevicePresence> states; // missing: absent
    std::map<dev_t, DeviceIdentity> names;
    int reads = 0;
    DevicePresence presence(dev_t d) override {
        ++reads;
        const auto it = states.find(d);
        return it == states.end() ? DevicePresence::absent : it->second;
    }
    std::optional<DeviceIdentity> identity(dev_t d) override {
        ++reads;
        const auto it = names.find(d);
        if (it == names.end())
            return std::nullopt;
        return it->second;
    }
};

const dev_t sdb = makedev(8, 16), sdb1 = makedev(8, 17), sdc1 = makedev(8, 33),
            anon = makedev(0, 55);

struct DiskLifecycleTest : ::testing::Test {
    FakeProbe probe;
    DiskLifecycle lifecycle{probe};
    const RootMount stick{40, sdb1, "/media/u/STICK"};

    void SetUp() override {
        probe.names[sdb1] = {"sdb1", sdb};
        probe.names[sdc1] = {"sdc1", makedev(8, 32)};
        probe.states[sdb1] = DevicePresence::present;
        probe.states[sdb] = DevicePresence::present;
        lifecycle.start({stick});
    }
    static VolumeReport disk(Kind kind, const char* name, dev_t device) {
        return {kind, name, {}, device};
    }
};

TEST_F(DiskLifecycleTest, AnUnmountWithTheDeviceStillThereIsAnUnmount) {
    EXPECT_EQ(lifecycle.mountsChanged({}), std::vector{disk(Kind::unmounted, "sdb1", sdb1)});
    // The disk is unplugged later: already reported for this mounted lifetime.
    probe.states.clear();
    EXPECT_TRUE(lifecycle.blockEvent({BlockEvent::Action::remove, sdb1, "sdb1"}).empty());
}

TEST_F(DiskLifecycleTest, ARemovalWhileMountedIsGoneOnceWithNoRequest) {
    // The device may even still be in sysfs (a synthetic event); the event decides.
    EXPECT_EQ(lifecycle.blockEvent({BlockEvent::Action::remove, sdb1, "sdb1"}),
              std::vector{disk(Kind::gone, "sdb1", sdb1)});
    EXPECT_TRUE(lifecycle.blockEvent({BlockEvent::Action::remove, sdb, "sdb"}).empty());
    EXPECT_TRUE(lifecycle.mountsChanged({}).empty()); // the lazy unmount that follows
}

TEST_F(DiskLifecycleTest, AnUnmountOfADeviceAlreadyGoneOrEmptyIsGone) {
    for (const auto state : {DevicePresence::absent, DevicePresence::noMedia}) {
        lifecycle.start({stick});
        probe.states[sdb1] = state;
        EXPECT_EQ(lifecycle.mountsChanged({}), std::vector{disk(Kind::gone, "sdb1", sdb1)});
    }
}

TEST_F(DiskLifecycleTest, MediaChangesToSizeZeroTakeThePartitionsAlong) {
    probe.states[sdb] = DevicePresence::noMedia;
    EXPECT_EQ(lifecycle.blockEvent({BlockEvent::Action::change, sdb, "sdb"}),
              std::vector{disk(Kind::gone, "sdb1", sdb1)});
    EXPECT_TRUE(lifecycle.mountsChanged({}).empty());
}

TEST_F(DiskLifecycleTest, AddOrChangeOfAMountedDeviceIsARename) {
    const VolumeReport appeared{Kind::renamed, "sdb1", "/media/u/STICK", sdb1};
    EXPECT_EQ(lifecycle.blockEvent({BlockEvent::Action::change, sdb1, "sdb1"}),
              std::vector{appeared});
    EXPECT_EQ(lifecycle.blockEvent({BlockEvent::Action::add, sdb1, "sdb1"}), std::vector{appeared});
    EXPECT_TRUE(lifecycle.blockEvent({BlockEvent::Action::other, sdb1, "sdb1"}).empty());

    // Gone while still mounted: a change is no comeback, an add is a new lifetime.
    lifecycle.blockEvent({BlockEvent::Action::remove, sdb1, "sdb1"});
    EXPECT_TRUE(lifecycle.blockEvent({BlockEvent::Action::change, sdb1, "sdb1"}).empty());
    EXPECT_EQ(lifecycle.blockEvent({BlockEvent::Action::add, sdb1, "sdb1"}), std::vector{appeared});
    EXPECT_EQ(lifecycle.mountsChanged({}).size(), 1u); // unmounted again
}

TEST_F(DiskLifecycleTest, DevicesWithoutAVolumeUnderARootCostNoDeviceRead) {
    probe.reads = 0;
    for (const auto action :
         {BlockEvent::Action::add, BlockEvent::Action::change, BlockEvent::Action::remove})
        EXPECT_TRUE(lifecycle.blockEvent({action, makedev(7, 3), "loop3"}).empty());
    EXPECT_EQ(probe.reads, 0);
}

TEST_F(DiskLifecycleTest, NewMountsAreMountsOrRenamesAndDeparturesComeFirst) {
    const RootMount moved{41, sdb1, "/media/u/NEWNAME"};
    const RootMount tmp{42, anon, "/media/u/tmp"};
    const RootMount other{43, sdc1, "/media/u/OTHER"};
    // Same device at a new mount point while the old one goes: a rename, no departure.
    EXPECT_EQ(lifecycle.mountsChanged({moved, tmp}),
              (std::vector<VolumeReport>{{Kind::renamed, "", moved.target, sdb1},
                                         {Kind::mounted, "", tmp.target, anon}}));
    // The same mount moved elsewhere keeps its id: also a rename.
    RootMount moveAgain = moved;
    moveAgain.target = "/run/media/u/NEWNAME";
    EXPECT_EQ(lifecycle.mountsChanged({moveAgain, tmp}),
              (std::vector<VolumeReport>{{Kind::renamed, "", moveAgain.target, sdb1}}));
    // One device leaves as another arrives in the same change.
    EXPECT_EQ(lifecycle.mountsChanged({tmp, other}),
              (std::vector<VolumeReport>{disk(Kind::unmounted, "sdb1", sdb1),
                                         {Kind::mounted, "", other.target, sdc1}}));
    EXPECT_TRUE(lifecycle.mountsChanged({tmp, other}).empty());
}

TEST_F(DiskLifecycleTest, ADeviceMountedTwiceStaysUntilItsLastMountGoes) {
    const RootMount second{44, sdb1, "/media/u/bind"};
    EXPECT_EQ(lifecycle.mountsChanged({stick, second}).size(), 1u); // renamed
    EXPECT_TRUE(lifecycle.mountsChanged({second}).empty());
    EXPECT_EQ(lifecycle.mountsChanged({}).size(), 1u);
}

TEST_F(DiskLifecycleTest, ResynchronizingReportsWhatWentAwayUnseen) {
    EXPECT_TRUE(lifecycle.resynchronize().empty());
    probe.states.erase(sdb1);
    EXPECT_EQ(lifecycle.resynchronize(), std::vector{disk(Kind::gone, "sdb1", sdb1)});
    EXPECT_TRUE(lifecycle.resynchronize().empty());
}

} // namespace
} // namespace vornix::linux_platform
