#include "app/drive_health.h"

#include <algorithm>

namespace vornix {

DriveHealthWatch::DriveHealthWatch(VolumeMonitor& monitor, EventLog& eventLog,
                                   DriveHealthPort& port)
    : monitor_(monitor), eventLog_(eventLog), port_(port) {
    volumes_ = monitor_.volumes.subscribe([this](const auto&) { follow(false); });
    health_ = port_.onHealthChanged([this] { follow(true); });
}

void DriveHealthWatch::follow(bool everything) {
    // Runs on every publication of the list: only a mount or a new device costs a lookup.
    // Marking publishes, which calls this again inside: the list is read afresh each round.
    for (std::size_t i = 0; i < monitor_.volumes.get().size(); ++i) {
        const WatchedVolume& volume = monitor_.volumes.get()[i];
        const auto device = volume.isCurrentlyMounted ? volume.deviceNumber : std::nullopt;
        devices_.resize(std::max(devices_.size(), i + 1));
        if (!everything && devices_[i] == device)
            continue;
        devices_[i] = device;
        const auto health = device ? port_.health(*device) : std::nullopt;
        std::string drive = health ? health->drive : std::string();
        const bool failing = health && health->failing;
        if (drive == volume.drive && failing == volume.driveFailing)
            continue;
        const bool told = failing && !volume.driveFailing && volume.isWatched;
        const std::string id = volume.id, name = volume.name;
        monitor_.markDrive(id, std::move(drive), failing);
        if (told)
            eventLog_.record(LogEvent::Kind::driveFailing, name, "");
    }
}

} // namespace vornix
