#include "platform/linux/device_facts.h"

#include <blkid/blkid.h>
#include <libudev.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace vornix::linux_platform {

namespace {

struct DeviceDeleter {
    void operator()(udev_device* d) const { udev_device_unref(d); }
};
using DevicePtr = std::unique_ptr<udev_device, DeviceDeleter>;

/// The block device with this number, or none (also when udev could not be opened).
DevicePtr blockDevice(struct udev* udev, dev_t devno) {
    return DevicePtr(udev ? udev_device_new_from_devnum(udev, 'b', devno) : nullptr);
}

struct ProbeDeleter {
    void operator()(blkid_probe p) const { blkid_free_probe(p); }
};

std::optional<std::string> text(const char* value) {
    if (!value)
        return std::nullopt;
    return std::string(value);
}

// The sysfs value of `attribute`, or none. libudev caches attributes per device object, so this
// is read from a fresh object whenever "now" matters.
std::optional<std::string> attribute(udev_device* device, const char* name) {
    return text(udev_device_get_sysattr_value(device, name));
}

std::optional<unsigned long long> sizeOf(udev_device* device) {
    const auto value = attribute(device, "size");
    if (!value)
        return std::nullopt;
    char* end = nullptr;
    const auto size = std::strtoull(value->c_str(), &end, 10);
    if (end == value->c_str())
        return std::nullopt;
    return size;
}

udev_device* wholeDiskOf(udev_device* device) {
    const char* type = udev_device_get_devtype(device);
    if (type && std::strcmp(type, "partition") == 0)
        return udev_device_get_parent_with_subsystem_devtype(device, "block", "disk");
    return device;
}

bool isDeviceMapper(udev_device* device) {
    const char* name = udev_device_get_sysname(device);
    return name && std::strncmp(name, "dm-", 3) == 0;
}

// The devices that the slaves/ of a device-mapper device lead to, through further device-mapper
// devices, in name order; false when one of them cannot be read. Nothing for other devices.
bool collectBeneath(struct udev* udev, udev_device* device, std::vector<DevicePtr>& found,
                    int depth = 0) {
    const char* syspath = udev_device_get_syspath(device);
    if (!isDeviceMapper(device) || !syspath)
        return true;
    if (depth > 16) // sysfs has no cycles; a damaged tree could
        return false;
    std::error_code error;
    std::vector<std::filesystem::path> slaves;
    for (std::filesystem::directory_iterator it(std::filesystem::path(syspath) / "slaves", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error))
        slaves.push_back(it->path());
    std::sort(slaves.begin(), slaves.end());
    for (const auto& path : slaves) {
        DevicePtr slave(udev_device_new_from_syspath(udev, path.c_str()));
        if (!slave)
            return false;
        if (!isDeviceMapper(slave.get()))
            found.push_back(std::move(slave));
        else if (!collectBeneath(udev, slave.get(), found, depth + 1))
            return false;
    }
    return true;
}

std::vector<DevicePtr> devicesBeneath(struct udev* udev, udev_device* device) {
    std::vector<DevicePtr> found;
    if (!collectBeneath(udev, device, found))
        found.clear();
    return found;
}

// What describes the drive: where it hangs, its serial, its partition; not its file system.
BlockDeviceFacts driveFacts(udev_device* device) {
    BlockDeviceFacts facts;
    facts.kernelName = text(udev_device_get_sysname(device)).value_or("");
    facts.devpath = text(udev_device_get_devpath(device)).value_or("");

    facts.wholeDisk = udev_device_get_devnum(device);
    if (udev_device* disk = wholeDiskOf(device)) {
        facts.wholeDisk = udev_device_get_devnum(disk);
        if (const auto removable = attribute(disk, "removable"))
            facts.removable = *removable == "1";
    }
    facts.partition = attribute(device, "partition");
    for (udev_device* parent = udev_device_get_parent(device); parent;
         parent = udev_device_get_parent(parent)) {
        if (const char* subsystem = udev_device_get_subsystem(parent)) {
            facts.busChain.emplace_back(subsystem);
            if (std::strcmp(subsystem, "pci") == 0 && attribute(parent, "removable") == "removable")
                facts.removableAncestor = true;
        }
        // The nearest serial up the chain: the USB device's, the NVMe controller's, the card's.
        if (!facts.serial)
            facts.serial = attribute(parent, "serial");
    }
    if (udev_device_get_is_initialized(device)) {
        if (const auto serial = text(udev_device_get_property_value(device, "ID_SERIAL_SHORT")))
            facts.serial = serial;
        facts.partitionUuid = text(udev_device_get_property_value(device, "ID_PART_ENTRY_UUID"));
    }
    return facts;
}

} // namespace

void DeviceFactsReader::UdevDeleter::operator()(struct udev* u) const {
    udev_unref(u);
}

DeviceFactsReader::DeviceFactsReader() : udev_(udev_new()) {}
DeviceFactsReader::~DeviceFactsReader() = default;

ProbedFileSystem probeFileSystem(const std::string& devnode) {
    ProbedFileSystem result;
    std::unique_ptr<blkid_struct_probe, ProbeDeleter> probe(
        blkid_new_probe_from_filename(devnode.c_str()));
    if (!probe)
        return result;
    blkid_probe_enable_superblocks(probe.get(), 1);
    blkid_probe_set_superblocks_flags(probe.get(), BLKID_SUBLKS_LABEL | BLKID_SUBLKS_UUID);
    if (blkid_do_safeprobe(probe.get()) != 0)
        return result;
    const char* value = nullptr;
    if (blkid_probe_lookup_value(probe.get(), "UUID", &value, nullptr) == 0 && value)
        result.uuid = value;
    if (blkid_probe_lookup_value(probe.get(), "LABEL", &value, nullptr) == 0 && value)
        result.label = value;
    return result;
}

std::optional<BlockDeviceFacts> DeviceFactsReader::read(dev_t devno) const {
    const DevicePtr device = blockDevice(udev_.get(), devno);
    if (!device)
        return std::nullopt;

    BlockDeviceFacts facts = driveFacts(device.get());
    for (const auto& slave : devicesBeneath(udev_.get(), device.get()))
        facts.beneath.push_back(driveFacts(slave.get()));

    if (udev_device_get_is_initialized(device.get())) {
        if (const auto label =
                text(udev_device_get_property_value(device.get(), "ID_FS_LABEL_ENC")))
            facts.fsLabel = decodeUdevEscapes(*label);
        else
            facts.fsLabel = text(udev_device_get_property_value(device.get(), "ID_FS_LABEL"));
        facts.fsUuid = text(udev_device_get_property_value(device.get(), "ID_FS_UUID"));
        facts.udisksIgnore =
            text(udev_device_get_property_value(device.get(), "UDISKS_IGNORE")) == "1";
    } else if (const char* node = udev_device_get_devnode(device.get())) {
        auto probed = probeFileSystem(node);
        facts.fsUuid = std::move(probed.uuid);
        facts.fsLabel = std::move(probed.label);
    }
    return facts;
}

DevicePresence DeviceFactsReader::presence(dev_t devno) {
    const DevicePtr device = blockDevice(udev_.get(), devno);
    if (!device)
        return DevicePresence::absent;
    const auto size = sizeOf(device.get());
    if (size && *size == 0)
        return DevicePresence::noMedia;
    return DevicePresence::present;
}

std::optional<DeviceIdentity> DeviceFactsReader::identity(dev_t devno) {
    const DevicePtr device = blockDevice(udev_.get(), devno);
    if (!device)
        return std::nullopt;
    DeviceIdentity id;
    id.kernelName = text(udev_device_get_sysname(device.get())).value_or("");
    id.wholeDisk = devno;
    if (udev_device* disk = wholeDiskOf(device.get()))
        id.wholeDisk = udev_device_get_devnum(disk);
    for (const auto& slave : devicesBeneath(udev_.get(), device.get())) {
        id.beneath.push_back(udev_device_get_devnum(slave.get()));
        if (udev_device* disk = wholeDiskOf(slave.get()); disk && disk != slave.get())
            id.beneath.push_back(udev_device_get_devnum(disk));
    }
    if (id.kernelName.empty())
        return std::nullopt;
    return id;
}

} // namespace vornix::linux_platform
