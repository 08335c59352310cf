#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vornix {

/// The user's persisted settings. A read gives nothing for a missing key and for a value that
/// does not read as the asked type; the caller falls back silently. Writes are atomic: a crash
/// during one leaves either the old or the new settings, and a failed write changes nothing.
class SettingsStore {
public:
    virtual ~SettingsStore() = default;
    virtual std::optional<double> readDouble(std::string_view key) const = 0;
    virtual std::optional<std::vector<std::string>> readStringArray(std::string_view key) const = 0;
    virtual void writeDouble(std::string_view key, double value) = 0;
    virtual void writeStringArray(std::string_view key, const std::vector<std::string>& value) = 0;
};

} // namespace vornix
