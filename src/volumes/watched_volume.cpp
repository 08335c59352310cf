#include "volumes/watched_volume.h"

#include <array>
#include <utility>

namespace vornix {

namespace {
constexpr std::array<std::pair<VolumeStatus, std::string_view>, 6> rawValues{{
    {VolumeStatus::idle, "idle"},
    {VolumeStatus::active, "active"},
    {VolumeStatus::stalled, "stalled"},
    {VolumeStatus::readOnly, "readOnly"},
    {VolumeStatus::full, "full"},
    {VolumeStatus::failed, "failed"},
}};
} // namespace

std::string_view rawValue(VolumeStatus status) {
    for (const auto& [value, raw] : rawValues)
        if (value == status)
            return raw;
    return {};
}

std::optional<VolumeStatus> volumeStatusFromRawValue(std::string_view raw) {
    for (const auto& [value, text] : rawValues)
        if (text == raw)
            return value;
    return std::nullopt;
}

} // namespace vornix
