#include "volumes/volume_monitor.h"

#include <algorithm>

namespace vornix {

namespace {

char asciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Case is ignored letter by letter in ASCII: the fragments are plain English, and a locale's
// own case rules (a Turkish dotless i) must not let a disk image through.
bool containsIgnoringCase(std::string_view text, std::string_view fragment) {
    const auto it = std::search(text.begin(), text.end(), fragment.begin(), fragment.end(),
                                [](char a, char b) { return asciiLower(a) == asciiLower(b); });
    return it != text.end();
}

std::string lastPathComponent(std::string_view path) {
    while (path.size() > 1 && path.back() == '/')
        path.remove_suffix(1);
    const auto slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

} // namespace

VolumeMonitor::VolumeMonitor(EventLog& eventLog, const WallClock& clock, VolumePorts ports)
    : eventLog_(eventLog), clock_(clock), ports_(std::move(ports)) {
    if (const auto root = ports_.catalog.resourceValues("/"))
        bootVolumeID_ = root->uuid;
    setupDiskArbitration();
    observeWorkspaceNotifications();
    scanCurrentVolumes();
}

VolumeMonitor::~VolumeMonitor() {
    session_.reset();
    workspaceObservers_.clear();
}

std::ptrdiff_t VolumeMonitor::indexOf(const std::string& id) const {
    const auto& list = volumes.get();
    // Every ping looks its volume up: a remembered index keeps a tick linear in the volumes.
    // It is only a hint, checked before use, so nothing else needs to keep it current.
    if (const auto hint = indexHints_.find(id);
        hint != indexHints_.end() && hint->second < list.size() && list[hint->second].id == id)
        return static_cast<std::ptrdiff_t>(hint->second);
    for (std::size_t i = 0; i < list.size(); ++i)
        if (list[i].id == id) {
            indexHints_[id] = i;
            return static_cast<std::ptrdiff_t>(i);
        }
    return -1;
}

std::optional<WatchedVolume> VolumeMonitor::volume(const std::string& id) const {
    const auto index = indexOf(id);
    if (index < 0)
        return std::nullopt;
    return volumes.get()[static_cast<std::size_t>(index)];
}

void VolumeMonitor::setWatched(const std::string& id, bool watched) {
    const auto index = indexOf(id);
    if (index < 0)
        return;
    update(static_cast<std::size_t>(index), [&](WatchedVolume& v) { v.isWatched = watched; });
}

void VolumeMonitor::markStatus(const std::string& id, VolumeStatus status,
                               std::optional<WallTime> lastPingAt, std::string detail) {
    const auto index = indexOf(id);
    if (index < 0)
        return;
    const auto at = static_cast<std::size_t>(index);
    update(at, [&](WatchedVolume& v) {
        v.status = status;
        v.statusDetail = std::move(detail);
    });
    if (lastPingAt) {
        // The first publication may have run subscribers that changed the list; the record
        // keeps its place (records are never removed or reordered).
        update(at, [&](WatchedVolume& v) { v.lastPingAt = *lastPingAt; });
    }
}

// ---- discovery

void VolumeMonitor::setupDiskArbitration() {
    if (!ports_.diskArbitration)
        return;
    DiskCallbacks callbacks{
        [this](const Disk& disk) { handleDiskAppeared(disk); },
        [this](const Disk& disk) { handleDiskDisappeared(disk); },
        [this](const Disk& disk) { handleUnmountApproval(disk); },
    };
    session_ = ports_.diskArbitration->openSession(std::move(callbacks));
}

void VolumeMonitor::observeWorkspaceNotifications() {
    for (const auto name :
         {WorkspaceNotificationName::didMount, WorkspaceNotificationName::didRenameVolume}) {
        workspaceObservers_.push_back(ports_.workspace.observe(
            name, [this](const WorkspaceNotification& n) { handleWorkspaceMount(n); }));
    }
}

void VolumeMonitor::scanCurrentVolumes() {
    const auto paths = ports_.catalog.mountedVolumePaths();
    if (!paths)
        return;
    for (const auto& path : *paths)
        considerCandidate(path);
}

void VolumeMonitor::handleWorkspaceMount(const WorkspaceNotification& notification) {
    if (!notification.volumePath || notification.volumePath->empty())
        return;
    considerCandidate(*notification.volumePath);
}

bool VolumeMonitor::isUnderMediaRoot(const std::string& path) const {
    return std::any_of(ports_.mediaRoots.begin(), ports_.mediaRoots.end(),
                       [&](const std::string& root) { return path.starts_with(root); });
}

void VolumeMonitor::considerCandidate(const std::string& mountPath) {
    const auto values = ports_.catalog.resourceValues(mountPath);
    if (!values)
        return;
    if (!isUnderMediaRoot(mountPath))
        return;
    if (values->isLocal == false)
        return;
    if (values->isEjectable != true && values->isRemovable != true)
        return;
    if (values->isInternal == true)
        return;

    std::optional<std::string> bsdName;
    std::optional<std::string> protocol;
    if (session_) {
        if (const auto disk = session_->diskForVolumePath(mountPath)) {
            bsdName = disk->bsdName;
            if (disk->description)
                protocol = disk->description->deviceProtocol;
            if (protocol) {
                for (const auto fragment : virtualProtocols)
                    if (containsIgnoringCase(*protocol, fragment))
                        return;
            }
        }
    }

    std::string id;
    if (values->uuid) {
        id = *values->uuid;
    } else if (const auto known =
                   bsdName ? bsdNameToVolumeID_.find(*bsdName) : bsdNameToVolumeID_.end();
               known != bsdNameToVolumeID_.end()) {
        id = known->second;
    } else {
        id = "path:" + mountPath;
    }

    if (bootVolumeID_ && *bootVolumeID_ == id)
        return;

    const std::string name = values->name ? *values->name : lastPathComponent(mountPath);

    if (bsdName)
        bsdNameToVolumeID_[*bsdName] = id;

    if (const auto index = indexOf(id); index >= 0) {
        const auto at = static_cast<std::size_t>(index);
        update(at, [&](WatchedVolume& v) { v.name = name; });
        update(at, [&](WatchedVolume& v) { v.mountPath = mountPath; });
        update(at, [&](WatchedVolume& v) { v.isCurrentlyMounted = true; });
        if (bsdName)
            update(at, [&](WatchedVolume& v) { v.bsdName = bsdName; });
        if (protocol)
            update(at, [&](WatchedVolume& v) { v.connectionProtocol = protocol; });
    } else {
        auto list = volumes.get();
        list.push_back(WatchedVolume{.id = id,
                                     .name = name,
                                     .bsdName = bsdName,
                                     .connectionProtocol = protocol,
                                     .isCurrentlyMounted = true,
                                     .mountPath = mountPath,
                                     .isWatched = true,
                                     .status = VolumeStatus::idle,
                                     .lastPingAt = std::nullopt});
        volumes = std::move(list);
    }

    eventLog_.record(LogEvent::Kind::mounted, name, "");
}

// ---- disk arbitration

void VolumeMonitor::handleUnmountApproval(const Disk& disk) {
    if (disk.bsdName)
        pendingApprovals_[*disk.bsdName] = clock_.now();
}

void VolumeMonitor::handleDiskAppeared(const Disk& disk) {
    if (!disk.description || !disk.description->volumePath || disk.description->volumePath->empty())
        return;
    considerCandidate(*disk.description->volumePath);
}

void VolumeMonitor::handleDiskDisappeared(const Disk& disk) {
    if (!disk.bsdName)
        return;
    const std::string& bsdName = *disk.bsdName;
    const auto mapped = bsdNameToVolumeID_.find(bsdName);
    if (mapped == bsdNameToVolumeID_.end())
        return;
    const auto index = indexOf(mapped->second);
    if (index < 0)
        return;
    const auto at = static_cast<std::size_t>(index);

    // Kernels hand a freed device name to the next drive. A name that maps to a volume which has
    // already left, or which now lives under another name, belongs to some other disk: that
    // disk's departure says nothing about this volume.
    const WatchedVolume& record = volumes.get()[at];
    if (!record.isCurrentlyMounted || record.bsdName != bsdName)
        return;

    const std::string name = record.name;
    const bool wasWatched = record.isWatched;

    update(at, [](WatchedVolume& v) { v.isCurrentlyMounted = false; });
    update(at, [](WatchedVolume& v) { v.mountPath.reset(); });
    update(at, [](WatchedVolume& v) { v.status = VolumeStatus::idle; });

    if (const auto approval = pendingApprovals_.find(bsdName);
        approval != pendingApprovals_.end()) {
        const double elapsed = secondsBetween(approval->second, clock_.now());
        pendingApprovals_.erase(approval);
        if (elapsed < userEjectWindowSeconds) {
            eventLog_.record(LogEvent::Kind::unmountedByUser, name, "");
            return;
        }
    }
    if (!wasWatched)
        return;
    eventLog_.record(LogEvent::Kind::unexpectedDisconnect, name, "");
}

} // namespace vornix
