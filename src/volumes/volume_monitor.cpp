#include "volumes/volume_monitor.h"

namespace vornix {

VolumeMonitor::VolumeMonitor(EventLog& eventLog, const WallClock& clock)
    : eventLog_(eventLog), clock_(clock) {}

std::ptrdiff_t VolumeMonitor::indexOf(const std::string& id) const {
    const auto& list = volumes.get();
    for (std::size_t i = 0; i < list.size(); ++i)
        if (list[i].id == id)
            return static_cast<std::ptrdiff_t>(i);
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
                               std::optional<WallTime> lastPingAt) {
    const auto index = indexOf(id);
    if (index < 0)
        return;
    const auto at = static_cast<std::size_t>(index);
    update(at, [&](WatchedVolume& v) { v.status = status; });
    if (lastPingAt) {
        // The first publication may have run subscribers that changed the list; the record
        // keeps its place (records are never removed or reordered).
        update(at, [&](WatchedVolume& v) { v.lastPingAt = *lastPingAt; });
    }
}

} // namespace vornix
