#include "platform/linux/linux_volume_system.h"

#include <QSocketNotifier>

#include <sys/sysmacros.h>

#include <algorithm>

namespace vornix::linux_platform {

class LinuxVolumeSystem::Session final : public DiskSession {
public:
    Session(std::weak_ptr<Shared> shared, int key) : shared_(std::move(shared)), key_(key) {}
    ~Session() override {
        if (auto shared = shared_.lock())
            shared->sessions.erase(key_);
    }
    std::optional<Disk> diskForVolumePath(const std::string& mountPath) override {
        const auto shared = shared_.lock();
        if (!shared || !shared->owner)
            return std::nullopt;
        return shared->owner->diskAt(mountPath);
    }

private:
    std::weak_ptr<Shared> shared_;
    int key_;
};

LinuxVolumeSystem::LinuxVolumeSystem() : LinuxVolumeSystem(Options{}) {}

LinuxVolumeSystem::LinuxVolumeSystem(Options options)
    : options_(std::move(options)), blockMonitor_(options_.blockEvents),
      shared_(std::make_shared<Shared>()) {
    shared_->owner = this;
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
    shared_->owner = nullptr;
    shared_->sessions.clear();
    shared_->observers.clear();
}

VolumePorts LinuxVolumeSystem::ports() {
    return VolumePorts{*this, *this, this, options_.mediaRoots};
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

std::optional<std::vector<std::string>> LinuxVolumeSystem::mountedVolumePaths() {
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
    std::vector<std::string> paths;
    for (const auto& mount : rootMounts()) {
        if (std::find(hiddenByFstab.begin(), hiddenByFstab.end(), mount.target) !=
                hiddenByFstab.end() ||
            hiddenByOptions(mount.target))
            continue;
        const auto found = classification(mount.target);
        if (found && found->hidden)
            continue;
        paths.push_back(mount.target);
    }
    return paths;
}

std::optional<VolumeResourceValues> LinuxVolumeSystem::resourceValues(const std::string& path) {
    if (const auto found = classification(path))
        return found->values;
    return std::nullopt;
}

std::optional<Disk> LinuxVolumeSystem::diskAt(const std::string& mountPath) const {
    const MountEntry* entry = entryAt(mountPath);
    if (!entry || major(entry->device) == 0)
        return std::nullopt;
    const auto device = facts_.read(entry->device);
    if (!device)
        return std::nullopt;
    return Disk{device->kernelName, DiskDescription{deviceProtocol(*device), mountPath}};
}

// ---- notifications and sessions

Subscription LinuxVolumeSystem::observe(WorkspaceNotificationName name,
                                        std::function<void(const WorkspaceNotification&)> handler) {
    const int key = shared_->next++;
    shared_->observers[key] = {name, std::move(handler)};
    std::weak_ptr<Shared> weak = shared_;
    return Subscription([weak, key] {
        if (auto shared = weak.lock())
            shared->observers.erase(key);
    });
}

std::unique_ptr<DiskSession> LinuxVolumeSystem::openSession(DiskCallbacks callbacks) {
    if (blockMonitor_.fd() < 0)
        return nullptr;
    const int key = shared_->next++;
    shared_->sessions[key] = std::move(callbacks);
    return std::make_unique<Session>(shared_, key);
}

void LinuxVolumeSystem::dispatch(const std::vector<VolumeReport>& reports) {
    // Handlers may end sessions or subscriptions, or open new ones, while they run: each
    // delivery goes to those still registered at its moment.
    const auto shared = shared_;
    for (const auto& report : reports) {
        using Kind = VolumeReport::Kind;
        if (report.kind == Kind::mounted || report.kind == Kind::renamed) {
            const WorkspaceNotification notification{
                report.kind == Kind::mounted ? WorkspaceNotificationName::didMount
                                             : WorkspaceNotificationName::didRenameVolume,
                report.volumePath};
            std::vector<int> keys;
            for (const auto& [key, observer] : shared->observers)
                keys.push_back(key);
            for (const int key : keys) {
                const auto it = shared->observers.find(key);
                if (it != shared->observers.end() && it->second.first == notification.name) {
                    auto handler = it->second.second;
                    handler(notification);
                }
            }
            continue;
        }
        Disk disk{report.bsdName, std::nullopt};
        if (report.kind == Kind::appeared) {
            std::optional<std::string> protocol;
            if (const auto device = facts_.read(report.device))
                protocol = deviceProtocol(*device);
            disk.description = DiskDescription{protocol, report.volumePath};
        }
        std::vector<int> keys;
        for (const auto& [key, callbacks] : shared->sessions)
            keys.push_back(key);
        for (const int key : keys) {
            const auto it = shared->sessions.find(key);
            if (it == shared->sessions.end())
                continue;
            auto callbacks = it->second;
            const auto& callback = report.kind == Kind::appeared ? callbacks.diskAppeared
                                   : report.kind == Kind::unmountRequested
                                       ? callbacks.unmountApproval
                                       : callbacks.diskDisappeared;
            if (callback)
                callback(disk);
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
