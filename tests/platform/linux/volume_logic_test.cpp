// The Linux volume adapters' pure parts: classification of device facts and the lifecycle of the
// devices whose mounts are reported.

#include "platform/linux/disk_lifecycle.h"
#include "platform/linux/volume_classification.h"

#include <gtest/gtest.h>

#include <sys/sysmacros.h>

#include <algorithm>
#include <array>
#include <iterator>
#include <map>
#include <sstream>

namespace vornix::linux_platform {
namespace {

using Kind = VolumeReport::Kind;
using Action = BlockEvent::Action;
const std::optional<bool> T = true, F = false, U = std::nullopt;

// "T", "F" or "U" (unknown) for removable, ejectable and internal.
std::optional<bool> fact(char c) {
    return c == 'U' ? std::nullopt : std::optional(c == 'T');
}

// A device-mapper device (LUKS, LVM) is the volume of the disks beneath it when they are all
// external, with the first one's facts; else it stays what it is.
TEST(VolumeClassificationTest, DeviceFactsGiveTheFactsAndBus) {
    using enum ConnectionBus;
    const struct {
        const char *devpath, *chain, *removable, *facts; // removable, hot-plug, internal, virtual
        ConnectionBus bus;
        std::vector<std::size_t> beneath{}; // rows whose devices a device-mapper device stands on
    } cases[] = {
        {"/devices/pci0/usb2/2-1/2-1:1.0/host6/block/sdb/sdb1", "scsi usb pci", "T", "TTFF", usb},
        {"/devices/pci0/usb2/2-1/2-1:1.0/host6/block/sdb/sdb1", "scsi usb pci", "F", "FTFF", usb},
        {"/devices/pci0/usb2/2-1/2-1:1.0/host6/block/sdb/sdb1", "scsi usb pci!", "T", "TTTF", usb},
        {"/devices/pci0/0000:00:17.0/ata3/host2/block/sda/sda2", "scsi pci", "F", "FFTF", sata},
        {"/devices/pci0/0000:00:17.0/ata3/host2/block/sda/sda2", "scsi pci", "U", "UFUF", sata},
        {"/devices/pci0/0000:3c:00.0/nvme/nvme0/nvme0n1/nvme0n1p2", "nvme pci", "F", "FFTF", nvme},
        {"/devices/pci0/0000:3c:00.0/nvme/nvme0/nvme0n1/nvme0n1p2", "nvme pci+", "F", "FTFF", nvme},
        {"/devices/pci0/mmc_host/mmc0/block/mmcblk0/mmcblk0p1", "mmc pci", "F", "FTFF", cardReader},
        {"/devices/pci0/fw1/fw1.0/host7/block/sdc/sdc1", "scsi firewire", "F", "FTFF", fireWire},
        {"/devices/virtual/block/loop0", "", "F", "FFTT", other},
        {"/devices/virtual/block/dm-0", "", "U", "UFUT", other},
        {"/devices/virtual/block/dm-1", "", "F", "TTFF", usb, {0, 7}},   // the first one's facts
        {"/devices/virtual/block/dm-2", "", "F", "FFTT", other, {0, 3}}, // and an internal one
        {"/devices/virtual/block/dm-3", "", "F", "FFTT", other, {2}},    // the boot disk
    };
    std::vector<BlockDeviceFacts> devices;
    for (const auto& c : cases) {
        const std::string path = c.devpath, name = path.substr(path.rfind('/') + 1);
        BlockDeviceFacts device{
            .kernelName = name, .devpath = path, .removable = fact(*c.removable)};
        std::istringstream words(c.chain);
        for (std::string word; words >> word;)
            device.busChain.push_back(word.substr(0, word.find_first_of("+!")));
        device.removableAncestor = std::string_view(c.chain).ends_with('+'); // Thunderbolt
        device.onBootDisk = std::string_view(c.chain).ends_with('!');        // booted from it
        device.serial = name;
        for (const auto row : c.beneath)
            device.beneath.push_back(devices[row]);
        devices.push_back(device);
        MountedVolume want{
            .mountPath = "/media/u/X", .isNetworkFileSystem = false, .kernelName = name};
        want.isRemovable = fact(c.facts[0]), want.isHotPluggable = fact(c.facts[1]);
        want.isInternal = fact(c.facts[2]), want.isVirtual = fact(c.facts[3]), want.bus = c.bus;
        want.hardwareKey =
            (c.beneath.empty() || *want.isVirtual ? device : device.beneath[0]).serial;
        EXPECT_EQ(classifyVolume({"/media/u/X", "ext4", "rw,relatime"}, device),
                  VolumeClassification{want})
            << c.devpath << " " << c.chain;
    }
}

TEST(VolumeClassificationTest, NamesKeysFileSystemsHidingAndEscapes) {
    BlockDeviceFacts stick{.kernelName = "sdb1", .busChain = {"usb"}, .removable = true};
    stick.fsUuid = "1234-ABCD", stick.fsLabel = "STICK";
    const auto classify = [&](const char* type = "vfat", const char* options = "rw") {
        return classifyVolume({"/media/u/S", type, options}, stick);
    };
    EXPECT_EQ(classify().volume.name, "STICK");
    EXPECT_EQ(classify().volume.uuid, "1234-ABCD");
    stick.fsLabel = stick.fsUuid = ""; // the monitor falls back to the path
    EXPECT_FALSE(classify().volume.name || classify().volume.uuid);

    // Serial and partition tell a whole-disk clone apart; else the partition UUID.
    const std::optional<std::string> none;
    const std::array<std::optional<std::string>, 4> keys[] = {{"S1", "1", "P-UUID", "S1-part1"},
                                                              {"S1", none, "P-UUID", "S1"},
                                                              {"", "1", "P-UUID", "P-UUID"},
                                                              {none, "1", none, none}};
    for (const auto& [serial, partition, partitionUuid, key] : keys) {
        std::tie(stick.serial, stick.partition, stick.partitionUuid) =
            std::tie(serial, partition, partitionUuid);
        EXPECT_EQ(hardwareKey(stick), key);
    }

    // No block device: only locality is known, so the monitor rejects it.
    for (const auto& [type, local] : std::map<std::string, bool>{
             {"fuseblk", true}, {"nfs4", false}, {"fuse.sshfs", false}, {"fuse.exfat", true}})
        EXPECT_EQ(classifyVolume({"/media/u/N", type, "rw"}, std::nullopt).volume,
                  (MountedVolume{.mountPath = "/media/u/N", .isNetworkFileSystem = !local}))
            << type;
    EXPECT_TRUE(classify("ext4", "rw,x-gvfs-hide").hidden);
    EXPECT_TRUE(classify("ext4", "x-gvfs-hide=1,ro").hidden);
    EXPECT_FALSE(classify("ext4", "rw,x-gvfs-hidden").hidden);
    stick.udisksIgnore = true;
    EXPECT_TRUE(classify().hidden);

    for (const auto& [in, out] :
         std::map<std::string, std::string>{{"My\\x20\\x22Disk\\x22", "My \"Disk\""},
                                            {"bad\\x2", "bad\\x2"},
                                            {"bad\\xZZ", "bad\\xZZ"},
                                            {"\\", "\\"}})
        EXPECT_EQ(decodeUdevEscapes(in), out) << in;
}

// ---- the lifecycle

struct FakeProbe final : DeviceProbe {
    std::map<dev_t, DevicePresence> states; // missing: absent
    std::map<dev_t, DeviceIdentity> names;
    int reads = 0;
    DevicePresence presence(dev_t d) override {
        ++reads;
        return states.count(d) ? states[d] : DevicePresence::absent;
    }
    std::optional<DeviceIdentity> identity(dev_t d) override {
        ++reads;
        return names.count(d) ? std::optional(names[d]) : std::nullopt;
    }
};

const dev_t sdb = makedev(8, 16), sdb1 = makedev(8, 17), sdc1 = makedev(8, 33),
            anon = makedev(0, 55), dm = makedev(253, 0);

struct DiskLifecycleTest : ::testing::Test {
    FakeProbe probe;
    DiskLifecycle lifecycle{probe};
    const RootMount stick{40, sdb1, "/media/u/STICK"};
    const VolumeReport unmounted{Kind::unmounted, "sdb1", {}, sdb1};
    const VolumeReport gone{Kind::gone, "sdb1", {}, sdb1};
    const VolumeReport changed{Kind::renamed, "sdb1", "/media/u/STICK", sdb1};

    void SetUp() override {
        probe.names = {{sdb1, {"sdb1", sdb}}, {sdc1, {"sdc1", makedev(8, 32)}}};
        probe.states = {{sdb1, DevicePresence::present}, {sdb, DevicePresence::present}};
        lifecycle.start({stick});
    }
};

TEST_F(DiskLifecycleTest, EachDepartureIsReportedOnceAsAnUnmountOrAsGone) {
    EXPECT_EQ(lifecycle.mountsChanged({}), std::vector{unmounted});
    probe.states.clear(); // unplugged later: already reported for this mounted lifetime
    EXPECT_TRUE(lifecycle.blockEvent({Action::remove, sdb1, "sdb1"}).empty());

    // Removed while mounted (even still in sysfs: the event decides); the lazy unmount after.
    lifecycle.start({stick});
    probe.states[sdb1] = DevicePresence::present;
    EXPECT_EQ(lifecycle.blockEvent({Action::remove, sdb1, "sdb1"}), std::vector{gone});
    EXPECT_TRUE(lifecycle.blockEvent({Action::remove, sdb, "sdb"}).empty());
    EXPECT_TRUE(lifecycle.mountsChanged({}).empty());

    // The unmount of a device already gone or empty, read at that moment, is no eject.
    for (const auto state : {DevicePresence::absent, DevicePresence::noMedia}) {
        lifecycle.start({stick});
        probe.states[sdb1] = state;
        EXPECT_EQ(lifecycle.mountsChanged({}), std::vector{gone});
    }
    // Media gone (size 0) from the whole disk takes its partitions along.
    lifecycle.start({stick});
    probe.states[sdb] = DevicePresence::noMedia;
    EXPECT_EQ(lifecycle.blockEvent({Action::change, sdb, "sdb"}), std::vector{gone});
    // Events were lost: what went away unseen is gone, once.
    lifecycle.start({stick});
    EXPECT_EQ(lifecycle.resynchronize(), std::vector{gone});
    EXPECT_TRUE(lifecycle.resynchronize().empty());
}

// A device-mapper device outlives the disk beneath it until someone closes it: its volume is gone
// with the disk, by its removal (seen end to end), lost media, or a disk missing at the unmount.
TEST_F(DiskLifecycleTest, AMapperDeviceIsGoneWithTheDiskBeneathIt) {
    probe.names[dm] = {"dm-0", dm, {sdb1, sdb}};
    const VolumeReport gone{Kind::gone, "dm-0", {}, dm}, ejected{Kind::unmounted, "dm-0", {}, dm};
    using enum DevicePresence;
    for (const auto& [action, state, report] : {std::tuple{Action::change, noMedia, gone},
                                                {Action::change, present, ejected},
                                                {Action::other, absent, gone}}) {
        lifecycle.start({{45, dm, "/media/u/SECRET"}});
        probe.states = {{dm, present}, {sdb1, present}, {sdb, state}};
        auto reports = lifecycle.blockEvent({action, sdb, "sdb"});
        std::ranges::copy(lifecycle.mountsChanged({}), std::back_inserter(reports));
        EXPECT_EQ(reports, std::vector{report});
    }
}

TEST_F(DiskLifecycleTest, AddOrChangeOfAMountedDeviceRefreshesItAndOthersCostNothing) {
    EXPECT_EQ(lifecycle.blockEvent({Action::change, sdb1, "sdb1"}), std::vector{changed});
    EXPECT_EQ(lifecycle.blockEvent({Action::add, sdb1, "sdb1"}), std::vector{changed});
    EXPECT_TRUE(lifecycle.blockEvent({Action::other, sdb1, "sdb1"}).empty());
    // Gone while still mounted: a change is no comeback, an add is a new lifetime.
    lifecycle.blockEvent({Action::remove, sdb1, "sdb1"});
    EXPECT_TRUE(lifecycle.blockEvent({Action::change, sdb1, "sdb1"}).empty());
    EXPECT_EQ(lifecycle.blockEvent({Action::add, sdb1, "sdb1"}), std::vector{changed});
    EXPECT_EQ(lifecycle.mountsChanged({}), std::vector{unmounted});

    probe.reads = 0;
    for (const auto action : {Action::add, Action::change, Action::remove})
        EXPECT_TRUE(lifecycle.blockEvent({action, makedev(7, 3), "loop3"}).empty());
    EXPECT_EQ(probe.reads, 0);
}

TEST_F(DiskLifecycleTest, NewMountsAreMountsOrRenamesAfterTheDepartures) {
    const RootMount moved{41, sdb1, "/media/u/NEW"}, tmp{42, anon, "/media/u/tmp"},
        other{43, sdc1, "/media/u/OTHER"}, bind{44, sdc1, "/media/u/bind"};
    // Same device at a new mount point while the old one goes: a rename, no departure.
    EXPECT_EQ(lifecycle.mountsChanged({moved, tmp}),
              (std::vector<VolumeReport>{{Kind::renamed, "", moved.target, sdb1},
                                         {Kind::mounted, "", tmp.target, anon}}));
    // The same mount moved elsewhere keeps its id: also a rename.
    RootMount again = moved;
    again.target = "/run/media/u/NEW";
    EXPECT_EQ(lifecycle.mountsChanged({again, tmp}),
              (std::vector<VolumeReport>{{Kind::renamed, "", again.target, sdb1}}));
    EXPECT_EQ(lifecycle.mountsChanged({tmp, other}),
              (std::vector<VolumeReport>{unmounted, {Kind::mounted, "", other.target, sdc1}}));
    // A device mounted twice stays until its last mount goes.
    EXPECT_EQ(lifecycle.mountsChanged({tmp, other, bind}).size(), 1u);
    EXPECT_TRUE(lifecycle.mountsChanged({tmp, bind}).empty());
    EXPECT_EQ(lifecycle.mountsChanged({tmp}).size(), 1u);
}

} // namespace
} // namespace vornix::linux_platform
