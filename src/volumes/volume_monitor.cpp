#include "volumes/volume_monitor.h"

#include <string_view>

namespace vornix {

namespace {

std::string lastPathComponent(std::string_view path) {
    while (path.size() > 1 && path.back() == '/')
        path.remove_suffix(1);
    const auto slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

} // namespace

VolumeMonitor::VolumeMonitor(EventLog& eventLog, const WallClock& clock, VolumePorts ports,
                             ExclusionRule isExcluded)
    : eventLog_(eventLog), clock_(clock), ports_(std::move(ports)),
      isExcluded_(std::move(isExcluded)) {
    rootFileSystemUuid_ = ports_.system.rootFileSystemUuid();
    watch_ = ports_.system.watch([this](const VolumeEvent& event) { handleEvent(event); });
    scanCurrentVolumes();
    // Last, so it heads the log: whatever the list shows from now on may be out of date.
    for (const auto& failure : ports_.system.watchFailures())
        eventLog_.record(LogEvent::Kind::driveMonitoringUnavailable, std::nullopt,
                         (failure.source == WatchFailure::Source::mountTable
                              ? "Mount table monitor: "
                              : "Block device monitor: ") +
                             failure.reason);
}

VolumeMonitor::~VolumeMonitor() {
    watch_.reset();
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

void VolumeMonitor::markPower(const std::string& id, const PowerReading& reading) {
    if (const auto index = indexOf(id); index >= 0)
        update(static_cast<std::size_t>(index), [&](WatchedVolume& v) { v.power = reading; });
}

void VolumeMonitor::markDrive(const std::string& id, std::string drive, bool failing) {
    if (const auto index = indexOf(id); index >= 0)
        update(static_cast<std::size_t>(index), [&](WatchedVolume& v) {
            v.drive = std::move(drive);
            v.driveFailing = failing;
        });
}

// ---- discovery

void VolumeMonitor::scanCurrentVolumes() {
    const auto mounted = ports_.system.mountedVolumes();
    if (!mounted)
        return;
    for (const auto& volume : *mounted) {
        if (!volume.uuid || !isCandidate(volume))
            continue;
        auto [owner, added] = scanOwners_.try_emplace(*volume.uuid, volume.hardwareKey);
        if (!added && volume.hardwareKey < owner->second)
            owner->second = volume.hardwareKey;
    }
    for (const auto& volume : *mounted)
        considerCandidate(volume);
    scanOwners_.clear();
}

void VolumeMonitor::handleEvent(const VolumeEvent& event) {
    using Kind = VolumeEvent::Kind;
    if (event.kind == Kind::mounted || event.kind == Kind::renamed)
        considerCandidate(event.volume);
    else
        handleDeparture(event);
}

bool VolumeMonitor::isCandidate(const MountedVolume& v) const {
    if (v.mountPath.empty())
        return false;
    if (v.isNetworkFileSystem == true || v.isInternal == true || v.isVirtual == true)
        return false;
    return v.isHotPluggable == true || v.isRemovable == true;
}

bool VolumeMonitor::belongsTo(const WatchedVolume& record, const MountedVolume& v) const {
    // Mounted elsewhere under another device name right now: another device, whatever its key.
    if (record.isCurrentlyMounted && record.mountPath != v.mountPath && record.kernelName &&
        v.kernelName && *record.kernelName != *v.kernelName)
        return false;
    const auto known = hardwareKeys_.find(record.id);
    if (known == hardwareKeys_.end() || !known->second || !v.hardwareKey)
        return true;
    return *known->second == *v.hardwareKey;
}

std::string VolumeMonitor::identify(const MountedVolume& v) {
    if (!v.uuid) {
        if (v.kernelName)
            if (const auto known = kernelNameToVolumeID_.find(*v.kernelName);
                known != kernelNameToVolumeID_.end())
                return known->second;
        return "path:" + v.mountPath;
    }
    // The first identifier free or already this device's wins. The last one holds the kernel
    // name, which only two copies with no key or the same key ever need.
    std::vector<std::string> choices{*v.uuid};
    if (v.hardwareKey)
        choices.push_back(*v.uuid + ":" + *v.hardwareKey);
    choices.push_back(choices.back() + ":" + v.kernelName.value_or(v.mountPath));
    for (const auto& id : choices) {
        const auto index = indexOf(id);
        if (index < 0) {
            const auto owner = scanOwners_.find(id);
            if (owner != scanOwners_.end() && owner->second != v.hardwareKey)
                continue; // another copy present at start has the smaller key
            hardwareKeys_[id] = v.hardwareKey;
            return id;
        }
        if (belongsTo(volumes.get()[static_cast<std::size_t>(index)], v))
            return id;
    }
    return choices.back();
}

void VolumeMonitor::considerCandidate(const MountedVolume& mounted) {
    if (!isCandidate(mounted))
        return;
    const std::string id = identify(mounted);
    if (rootFileSystemUuid_ && *rootFileSystemUuid_ == id)
        return;

    const std::string name = mounted.name ? *mounted.name : lastPathComponent(mounted.mountPath);
    const auto& kernelName = mounted.kernelName;
    const auto& bus = mounted.bus;
    const auto& mountPath = mounted.mountPath;
    if (kernelName)
        kernelNameToVolumeID_[*kernelName] = id;

    if (const auto index = indexOf(id); index >= 0) {
        const auto at = static_cast<std::size_t>(index);
        update(at, [&](WatchedVolume& v) { v.name = name; });
        update(at, [&](WatchedVolume& v) { v.mountPath = mountPath; });
        update(at, [&](WatchedVolume& v) { v.isCurrentlyMounted = true; });
        if (kernelName)
            update(at, [&](WatchedVolume& v) { v.kernelName = kernelName; });
        if (mounted.deviceNumber)
            update(at, [&](WatchedVolume& v) { v.deviceNumber = mounted.deviceNumber; });
        if (bus)
            update(at, [&](WatchedVolume& v) { v.connectionProtocol = bus; });
    } else {
        auto list = volumes.get();
        list.push_back(WatchedVolume{.id = id,
                                     .name = name,
                                     .kernelName = kernelName,
                                     .deviceNumber = mounted.deviceNumber,
                                     .connectionProtocol = bus,
                                     .isCurrentlyMounted = true,
                                     .mountPath = mountPath,
                                     .isWatched = !(isExcluded_ && isExcluded_(id)),
                                     .status = VolumeStatus::idle,
                                     .lastPingAt = std::nullopt});
        volumes = std::move(list);
    }

    eventLog_.record(LogEvent::Kind::mounted, name, "");
}

// ---- departures

void VolumeMonitor::handleDeparture(const VolumeEvent& event) {
    if (!event.volume.kernelName)
        return;
    const std::string& kernelName = *event.volume.kernelName;
    const auto mapped = kernelNameToVolumeID_.find(kernelName);
    if (mapped == kernelNameToVolumeID_.end())
        return;
    const auto index = indexOf(mapped->second);
    if (index < 0)
        return;
    const auto at = static_cast<std::size_t>(index);

    // Kernels hand a freed device name to the next drive. A name that maps to a volume which has
    // already left, or which now lives under another name, belongs to some other disk: that
    // disk's departure says nothing about this volume.
    const WatchedVolume& record = volumes.get()[at];
    if (!record.isCurrentlyMounted || record.kernelName != kernelName)
        return;

    const std::string name = record.name;
    const bool wasWatched = record.isWatched;

    update(at, [](WatchedVolume& v) { v.isCurrentlyMounted = false; });
    update(at, [](WatchedVolume& v) { v.mountPath.reset(); });
    update(at, [](WatchedVolume& v) { v.status = VolumeStatus::idle; });

    // Linux has no eject request: an unmount whose device stays is the user's (or a tool's)
    // orderly eject, recorded whether watched or not; a device that goes while still mounted was
    // pulled, which matters only for a watched volume.
    if (event.kind == VolumeEvent::Kind::unmountedDevicePresent)
        eventLog_.record(LogEvent::Kind::unmountedByUser, name, "");
    else if (wasWatched)
        eventLog_.record(LogEvent::Kind::unexpectedDisconnect, name, "");
}

} // namespace vornix
