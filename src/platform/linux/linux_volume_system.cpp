#include "platform/linux/linux_volume_system.h"

#include <QSocketNotifier>

#include <sys/sysmacros.h>

#include <algorithm>

namespace vornix::linux_platform {

LinuxVolumeSystem::LinuxVolumeSystem() : LinuxVolumeSystem(Options{}) {}

LinuxVolumeSystem::LinuxVolumeSystem(Options options)
    : options_(std::move(options)), blockMonitor_(options_.blockEvents),
      shared_(std::make_shared<Shared>()) {
    // The watches open before the first read, so no change falls between the two.
    if (const auto table = readMountTable())
        table_ = *table;
    lifecycle_.start(rootMounts());

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
    return VolumePorts{*this, options_.mediaRoots};
}

bool LinuxVolumeSystem::underRoot(const std::string& path) const {
    return std::any_of(options_.mediaRoots.begin(), options_.mediaRoots.end(),
                       [&](const std::string& root) { return path.starts_with(root); });
}

const MountEntry* LinuxVolumeSystem::entryAt(const std::string& mountPath) const {
    // The last entry for a target is the one on top, the one a path reaches.
    for (auto it = table_.rbegin(); it != table_.rend(); ++it)
        if (it->target == mountPath)
            return &*it;
    return nullptr;
}

std::vector<RootMount> LinuxVolumeSystem::rootMounts() const {
    std::vector<RootMount> mounts;
    for (const auto& entry : table_)
        if (underRoot(entry.target))
            mounts.push_back({entry.id, entry.device, entry.target});
    return mounts;
}

// ---- catalog

std::optional<VolumeClassification>
LinuxVolumeSystem::classification(const std::string& mountPath) const {
    const MountEntry* entry = entryAt(mountPath);
    if (!entry)
        return std::nullopt;
    std::optional<BlockDeviceFacts> device;
    if (major(entry->device) != 0)
        device = facts_.read(entry->device);
    return classifyVolume({entry->target, entry->fsType, entry->options}, device);
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
    for (const auto& mount : rootMounts()) {
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
            event.volume.bsdName = report.bsdName;
        }
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
    if (drained.overflowed)
        dispatch(lifecycle_.resynchronize());
}

void LinuxVolumeSystem::refreshMountTable() {
    auto table = readMountTable();
    if (!table)
        return;
    table_ = std::move(*table);
    dispatch(lifecycle_.mountsChanged(rootMounts()));
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
