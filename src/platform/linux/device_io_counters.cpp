#include "platform/linux/device_io_counters.h"

#include "platform/linux/file_descriptor.h"

#include <array>
#include <charconv>
#include <string>

namespace vornix::linux_platform {

std::optional<IoCounters> parseBlockStat(std::string_view text) {
    std::array<std::uint64_t, 16> fields{};
    std::size_t count = 0;
    const char* at = text.data();
    const char* end = text.data() + text.size();
    while (count < fields.size()) {
        while (at < end && (*at == ' ' || *at == '\t' || *at == '\n'))
            ++at;
        const auto [next, error] = std::from_chars(at, end, fields[count]);
        if (error != std::errc())
            break;
        at = next;
        ++count;
    }
    if (count < 5)
        return std::nullopt;
    IoCounters counters{.writes = fields[4]};
    if (count >= 16)
        counters.flushes = fields[15];
    return counters;
}

std::optional<IoCounters> readIoCounters(DeviceNumber device) {
    if (device.major == 0)
        return std::nullopt;
    const std::string path = "/sys/dev/block/" + std::to_string(device.major) + ":" +
                             std::to_string(device.minor) + "/stat";
    const auto text = readWholeFile(path);
    return text ? parseBlockStat(*text) : std::nullopt;
}

} // namespace vornix::linux_platform
