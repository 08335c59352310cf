#include "volumes/watched_volume.h"

#include <array>
#include <utility>

namespace vornix {

namespace {
constexpr std::array<std::pair<VolumeStatus, std::string_view>, 8> statusNames{{
    {VolumeStatus::idle, "idle"},
    {VolumeStatus::active, "active"},
    {VolumeStatus::stalled, "stalled"},
    {VolumeStatus::readOnly, "readOnly"},
    {VolumeStatus::full, "full"},
    {VolumeStatus::failed, "failed"},
    {VolumeStatus::notReaching, "notReaching"},
    {VolumeStatus::fellAsleep, "fellAsleep"},
}};
} // namespace

std::string_view statusName(VolumeStatus status) {
    for (const auto& [value, name] : statusNames)
        if (value == status)
            return name;
    return {};
}

std::optional<VolumeStatus> volumeStatusNamed(std::string_view name) {
    for (const auto& [value, text] : statusNames)
        if (text == name)
            return value;
    return std::nullopt;
}

std::string_view powerStateName(DrivePowerState state) {
    switch (state) {
    case DrivePowerState::active:
        return "active";
    case DrivePowerState::standby:
        return "standby";
    case DrivePowerState::unknown:
        break;
    }
    return "unknown";
}

} // namespace vornix
