#pragma once

#include "app/observable.h"
#include "app/scheduling.h"
#include "log/event_log.h"
#include "volumes/watched_volume.h"

#include <optional>
#include <string>
#include <vector>

namespace vornix {

/// The registry of every external volume accepted during this run, and the only writer of it.
/// Records are appended in the order volumes are first accepted and are never removed: a volume
/// that leaves stays listed as not mounted and its record is reused when it comes back.
class VolumeMonitor : public ObservableObject {
public:
    VolumeMonitor(EventLog& eventLog, const WallClock& clock);
    VolumeMonitor(const VolumeMonitor&) = delete;
    VolumeMonitor& operator=(const VolumeMonitor&) = delete;

    Published<std::vector<WatchedVolume>> volumes{*this, {}};

    /// Sets the watch flag of the record with this id; an unknown id publishes nothing.
    void setWatched(const std::string& id, bool watched);

    /// Sets the status and, when a time is given, the last-ping time: two publications then.
    /// An unknown id publishes nothing. Mount and watch state are not consulted.
    void markStatus(const std::string& id, VolumeStatus status, std::optional<WallTime> lastPingAt);

    /// The record with this id, if any.
    std::optional<WatchedVolume> volume(const std::string& id) const;

private:
    /// Index of the first record with this id, or -1.
    std::ptrdiff_t indexOf(const std::string& id) const;

    /// Changes one field of one record and publishes the whole list.
    template <class Change> void update(std::size_t index, Change&& change) {
        auto list = volumes.get();
        change(list[index]);
        volumes = std::move(list);
    }

    EventLog& eventLog_;
    const WallClock& clock_;
};

} // namespace vornix
