#include "platform/linux/volume_classification.h"

#include <algorithm>
#include <array>

namespace vornix::linux_platform {

namespace {

bool chainHas(const BlockDeviceFacts& device, std::string_view subsystem) {
    return std::find(device.busChain.begin(), device.busChain.end(), subsystem) !=
           device.busChain.end();
}

// SATA disks sit under an "ataN" port directory that has no subsystem of its own.
bool devpathHasAtaPort(std::string_view devpath) {
    std::size_t start = 0;
    while (start < devpath.size()) {
        auto end = devpath.find('/', start);
        if (end == std::string_view::npos)
            end = devpath.size();
        const auto part = devpath.substr(start, end - start);
        if (part.size() > 3 && part.starts_with("ata") &&
            std::all_of(part.begin() + 3, part.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return true;
        start = end + 1;
    }
    return false;
}

// Part of the machine, or not; none when sysfs does not say. The disk the system runs from is
// part of the machine, however it is attached.
std::optional<bool> isInternalDisk(const BlockDeviceFacts& device) {
    if (device.onBootDisk)
        return true;
    if (isOnHotPluggableBus(device) || device.removable == true)
        return false;
    if (device.removable == false)
        return true;
    return std::nullopt;
}

} // namespace

bool isVirtualDevice(const BlockDeviceFacts& device) {
    return device.devpath.starts_with("/devices/virtual/");
}

bool isOnHotPluggableBus(const BlockDeviceFacts& device) {
    if (isVirtualDevice(device))
        return false;
    static constexpr std::array<std::string_view, 6> hotPlug{"thunderbolt", "usb", "firewire",
                                                             "ieee1394",    "mmc", "sdio"};
    return device.removableAncestor ||
           std::any_of(hotPlug.begin(), hotPlug.end(),
                       [&](std::string_view bus) { return chainHas(device, bus); });
}

ConnectionBus connectionBus(const BlockDeviceFacts& device) {
    if (isVirtualDevice(device))
        return ConnectionBus::other;
    // The outermost bus is the one the user plugged into: a USB enclosure holds a SATA disk.
    static constexpr std::array<std::pair<std::string_view, ConnectionBus>, 9> buses{{
        {"thunderbolt", ConnectionBus::thunderbolt},
        {"usb", ConnectionBus::usb},
        {"firewire", ConnectionBus::fireWire},
        {"ieee1394", ConnectionBus::fireWire},
        {"mmc", ConnectionBus::cardReader},
        {"sdio", ConnectionBus::cardReader},
        {"nvme", ConnectionBus::nvme},
        {"ata", ConnectionBus::sata},
        {"virtio", ConnectionBus::virtio},
    }};
    for (const auto& [subsystem, bus] : buses)
        if (chainHas(device, subsystem))
            return bus;
    if (devpathHasAtaPort(device.devpath))
        return ConnectionBus::sata;
    if (chainHas(device, "scsi"))
        return ConnectionBus::scsi;
    return ConnectionBus::other;
}

const BlockDeviceFacts& driveOf(const BlockDeviceFacts& device) {
    const auto external = [](const BlockDeviceFacts& disk) {
        return !isVirtualDevice(disk) && isInternalDisk(disk) == false;
    };
    const auto& beneath = device.beneath;
    if (beneath.empty() || !std::all_of(beneath.begin(), beneath.end(), external))
        return device;
    return beneath.front();
}

bool isNetworkFileSystem(std::string_view fsType) {
    static constexpr std::array<std::string_view, 14> network{
        "nfs", "nfs4",      "cifs",   "smb3",  "smbfs", "9p",   "ceph",
        "afs", "glusterfs", "lustre", "ncpfs", "coda",  "gfs2", "ocfs2"};
    if (std::find(network.begin(), network.end(), fsType) != network.end())
        return true;
    static constexpr std::array<std::string_view, 11> networkFuse{
        "fuse.sshfs",     "fuse.rclone",     "fuse.s3fs",    "fuse.gcsfuse",
        "fuse.glusterfs", "fuse.cephfs",     "fuse.davfs",   "fuse.curlftpfs",
        "fuse.smbnetfs",  "fuse.gvfsd-fuse", "fuse.afpfs-ng"};
    return std::find(networkFuse.begin(), networkFuse.end(), fsType) != networkFuse.end();
}

bool hasMountOption(std::string_view options, std::string_view name) {
    std::size_t start = 0;
    while (start <= options.size()) {
        auto end = options.find(',', start);
        if (end == std::string_view::npos)
            end = options.size();
        auto option = options.substr(start, end - start);
        if (const auto eq = option.find('='); eq != std::string_view::npos)
            option = option.substr(0, eq);
        if (option == name)
            return true;
        start = end + 1;
    }
    return false;
}

std::string decodeUdevEscapes(std::string_view encoded) {
    const auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    std::string out;
    out.reserve(encoded.size());
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        if (encoded[i] == '\\' && i + 3 < encoded.size() && encoded[i + 1] == 'x' &&
            hex(encoded[i + 2]) >= 0 && hex(encoded[i + 3]) >= 0) {
            out.push_back(static_cast<char>(hex(encoded[i + 2]) * 16 + hex(encoded[i + 3])));
            i += 3;
        } else {
            out.push_back(encoded[i]);
        }
    }
    return out;
}

std::optional<std::string> hardwareKey(const BlockDeviceFacts& device) {
    if (device.serial && !device.serial->empty())
        return *device.serial + (device.partition ? "-part" + *device.partition : "");
    if (device.partitionUuid && !device.partitionUuid->empty())
        return device.partitionUuid;
    return std::nullopt;
}

VolumeClassification classifyVolume(const MountFacts& mount,
                                    const std::optional<BlockDeviceFacts>& device) {
    VolumeClassification result;
    result.volume.mountPath = mount.target;
    result.volume.isNetworkFileSystem = isNetworkFileSystem(mount.fsType);
    result.hidden = hasMountOption(mount.options, "x-gvfs-hide");
    if (!device)
        return result;

    // The file system is the device's own; the rest describes the drive it lives on. The device
    // stays the volume's (its kernel name, its I/O counters).
    const BlockDeviceFacts& drive = driveOf(*device);
    auto& values = result.volume;
    if (device->fsLabel && !device->fsLabel->empty())
        values.name = device->fsLabel;
    if (device->fsUuid && !device->fsUuid->empty())
        values.uuid = device->fsUuid;
    values.isRemovable = drive.removable;
    values.isHotPluggable = isOnHotPluggableBus(drive);
    values.isInternal = isInternalDisk(drive);
    values.bus = connectionBus(drive);
    values.isVirtual = isVirtualDevice(drive);
    if (!device->kernelName.empty())
        values.kernelName = device->kernelName;
    values.hardwareKey = hardwareKey(drive);
    result.hidden = result.hidden || device->udisksIgnore;
    return result;
}

} // namespace vornix::linux_platform
