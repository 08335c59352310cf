#include "platform/linux/linux_volume_system.h"

#include "platform/linux/diagnostics.h"

#include <QSocketNotifier>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>

namespace vornix::linux_platform {

namespace {

const char* describe(VolumeEvent::Kind kind) {
    switch (kind) {
    case VolumeEvent::Kind::mounted:
        return "mounted";
    case VolumeEvent::Kind::renamed:
        return "renamed";
    case VolumeEvent::Kind::unmountedDevicePresent:
        return "unmounted, device present";
    case VolumeEvent::Kind::deviceGoneWhileMounted:
        return "device gone while mounted";
    }
    return "?";
}

} // namespace

LinuxVolumeSystem::LinuxVolumeSystem() : LinuxVolumeSystem(Options{}) {}

LinuxVolumeSystem::LinuxVolumeSystem(Options options)
    : options_(std::move(options)), blockMonitor_(options_.blockEvents),
      shared_(std::make_shared<Shared>()) {
    // The watches open before the first read, so no change falls between the two.
    if (const auto table = readMountTable())
        table_ = *table;
    else
        qCWarning(volumesLog) << "the mount table cannot be read";
    if (const MountEntry* root = entryAt("/")) {
        // A root on btrfs has an anonymous device number; its source names the real one. Not a
        // mount path: /dev is never a drive that can hang.
        dev_t device = root->device;
        struct stat node {};
        if (major(device) == 0 && root->source.starts_with("/dev/") &&
            ::stat(root->source.c_str(), &node) == 0 && S_ISBLK(node.st_mode))
            device = node.st_rdev;
        if (major(device) != 0)
            if (const auto id = facts_.identity(device)) {
                bootDisks_ = id->beneath;
                bootDisks_.push_back(id->wholeDisk);
            }
    }
    lifecycle_.start(candidateMounts());

    for (const auto& failure : watchFailures())
        qCWarning(volumesLog).noquote()
            << (failure.source == WatchFailure::Source::mountTable ? "mount table" : "block device")
            << "monitor unavailable:" << QString::fromStdString(failure.reason);
    qCDebug(volumesLog) << "block device events from"
                        << (blockMonitor_.source() == BlockDeviceMonitor::Source::udev
                                ? "udevd"
                                : "the kernel");
    if (mountMonitor_.fd() >= 0) {
        mountNotifier_ =
            std::make_unique<QSocketNotifier>(mountMonitor_.fd(), QSocketNotifier::Read);
        QObject::connect(mountNotifier_.get(), &QSocketNotifier::activated,
                         [this] { onMountTableChanged(); });
    }
    if (blockMonitor_.fd() >= 0) {
        blockNotifier_ =
            std::make_unique<QSocketNotifier>(blockMonitor_.fd(), QSocketNotifier::Read);
        QObject::connect(blockNotifier_.get(), &QSocketNotifier::activated,
                         [this] { onBlockEvents(); });
    }
}

LinuxVolumeSystem::~LinuxVolumeSystem() {
    mountNotifier_.reset();
    blockNotifier_.reset();
    shared_->watchers.clear();
}

VolumePorts LinuxVolumeSystem::ports() {
    return VolumePorts{*this};
}

const MountEntry* LinuxVolumeSystem::entryAt(const std::string& mountPath) const {
    // The last entry for a target is the one on top, the one a path reaches.
    for (auto it = table_.rbegin(); it != table_.rend(); ++it)
        if (it->target == mountPath)
            return &*it;
    return nullptr;
}

std::vector<RootMount> LinuxVolumeSystem::candidateMounts() {
    std::map<int, std::pair<dev_t, bool>> verdicts;
    std::vector<RootMount> mounts;
    for (const auto& entry : table_) {
        if (major(entry.device) == 0 || !entry.wholeFileSystem)
            continue;
        const auto known = verdicts_.find(entry.id);
        const bool seen = known != verdicts_.end() && known->second.first == entry.device;
        const bool external =
            seen ? known->second.second : classify(entry).volume.isInternal != true;
        if (!seen)
            qCDebug(volumesLog).noquote()
                << "mount" << entry.id << QString::fromStdString(entry.target) << "of"
                << QStringLiteral("%1:%2").arg(major(entry.device)).arg(minor(entry.device))
                << (external ? "may be external" : "is internal");
        verdicts[entry.id] = {entry.device, external};
        if (external)
            mounts.push_back({entry.id, entry.device, entry.target});
    }
    verdicts_ = std::move(verdicts);
    return mounts;
}

// ---- catalog

std::optional<VolumeClassification>
LinuxVolumeSystem::classification(const std::string& mountPath) const {
    const MountEntry* entry = entryAt(mountPath);
    if (!entry)
        return std::nullopt;
    return classify(*entry);
}

VolumeClassification LinuxVolumeSystem::classify(const MountEntry& entry) const {
    std::optional<BlockDeviceFacts> device;
    if (major(entry.device) != 0) {
        device = facts_.read(entry.device);
        const auto onBootDisk = [this](BlockDeviceFacts& facts) {
            facts.onBootDisk = std::find(bootDisks_.begin(), bootDisks_.end(), facts.wholeDisk) !=
                               bootDisks_.end();
        };
        if (device) {
            onBootDisk(*device);
            std::for_each(device->beneath.begin(), device->beneath.end(), onBootDisk);
        }
    }
    auto classified = classifyVolume({entry.target, entry.fsType, entry.options}, device);
    if (major(entry.device) != 0)
        classified.volume.deviceNumber = DeviceNumber{major(entry.device), minor(entry.device)};
    return classified;
}

std::optional<std::string> LinuxVolumeSystem::rootFileSystemUuid() {
    if (const auto root = classification("/"))
        return root->volume.uuid;
    return std::nullopt;
}

std::optional<std::vector<MountedVolume>> LinuxVolumeSystem::mountedVolumes() {
    // Hiding matters to the scan alone, so only the scan pays for the userspace options.
    const auto hiddenByFstab = fstabTargetsWithOption(options_.fstab, "x-gvfs-hide");
    const auto withUserOptions = readMountTable(true);
    const auto hiddenByOptions = [&](const std::string& target) {
        if (!withUserOptions)
            return false;
        for (auto it = withUserOptions->rbegin(); it != withUserOptions->rend(); ++it)
            if (it->target == target)
                return hasMountOption(it->options, "x-gvfs-hide");
        return false;
    };
    std::vector<MountedVolume> volumes;
    for (const auto& mount : lifecycle_.mounts()) {
        if (std::find(hiddenByFstab.begin(), hiddenByFstab.end(), mount.target) !=
                hiddenByFstab.end() ||
            hiddenByOptions(mount.target))
            continue;
        const auto found = classification(mount.target);
        if (found && !found->hidden)
            volumes.push_back(found->volume);
    }
    return volumes;
}

std::vector<WatchFailure> LinuxVolumeSystem::watchFailures() {
    std::vector<WatchFailure> failures;
    if (mountMonitor_.fd() < 0)
        failures.push_back({WatchFailure::Source::mountTable, mountMonitor_.error()});
    if (blockMonitor_.fd() < 0)
        failures.push_back({WatchFailure::Source::blockDevices, blockMonitor_.error()});
    return failures;
}

Subscription LinuxVolumeSystem::watch(std::function<void(const VolumeEvent&)> handler) {
    const int key = shared_->next++;
    shared_->watchers[key] = std::move(handler);
    std::weak_ptr<Shared> weak = shared_;
    return Subscription([weak, key] {
        if (auto shared = weak.lock())
            shared->watchers.erase(key);
    });
}

void LinuxVolumeSystem::dispatch(const std::vector<VolumeReport>& reports) {
    // Handlers may end subscriptions, or start new ones, while they run: each event goes to
    // those still registered at its moment.
    const auto shared = shared_;
    for (const auto& report : reports) {
        using Kind = VolumeReport::Kind;
        VolumeEvent event;
        if (report.kind == Kind::mounted || report.kind == Kind::renamed) {
            const auto found = classification(report.volumePath);
            if (!found)
                continue;
            event.kind = report.kind == Kind::mounted ? VolumeEvent::Kind::mounted
                                                      : VolumeEvent::Kind::renamed;
            event.volume = found->volume;
        } else {
            event.kind = report.kind == Kind::unmounted ? VolumeEvent::Kind::unmountedDevicePresent
                                                        : VolumeEvent::Kind::deviceGoneWhileMounted;
            event.volume.kernelName = report.kernelName;
        }
        qCDebug(volumesLog).noquote()
            << describe(event.kind) << QString::fromStdString(event.volume.kernelName.value_or(""))
            << QString::fromStdString(event.volume.mountPath);
        std::vector<int> keys;
        for (const auto& [key, watcher] : shared->watchers)
            keys.push_back(key);
        for (const int key : keys) {
            const auto it = shared->watchers.find(key);
            if (it == shared->watchers.end())
                continue;
            auto handler = it->second;
            handler(event);
        }
    }
}

// ---- wake-ups

void LinuxVolumeSystem::handleBlockEvents() {
    auto drained = blockMonitor_.drain();
    counters_.blockEvents += drained.events.size();
    for (const auto& event : drained.events)
        dispatch(lifecycle_.blockEvent(event));
    if (drained.overflowed) {
        qCWarning(volumesLog) << "block device events were lost; reading the devices again";
        dispatch(lifecycle_.resynchronize());
    }
}

void LinuxVolumeSystem::refreshMountTable() {
    auto table = readMountTable();
    if (!table) {
        qCWarning(volumesLog) << "the mount table cannot be read";
        return;
    }
    table_ = std::move(*table);
    dispatch(lifecycle_.mountsChanged(candidateMounts()));
}

void LinuxVolumeSystem::onMountTableChanged() {
    ++counters_.mountTableWakeUps;
    mountMonitor_.drain();
    // A pulled drive's removal event is queued before the automatic unmount that follows it:
    // handled first, it keeps that unmount from passing for an orderly one.
    handleBlockEvents();
    refreshMountTable();
}

void LinuxVolumeSystem::onBlockEvents() {
    ++counters_.blockEventWakeUps;
    handleBlockEvents();
}

void LinuxVolumeSystem::processPendingChanges() {
    mountMonitor_.drain();
    handleBlockEvents();
    refreshMountTable();
}

} // namespace vornix::linux_platform
