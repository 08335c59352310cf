#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vornix {

/// Why settings did not reach the disk: the file, and the system's own words.
struct SettingsWriteError {
    std::string path;
    std::string reason;
};

/// The user's persisted settings. A read gives nothing for a missing key and for a value that
/// does not read as the asked type; the caller falls back silently. Every write stores all values
/// written so far, so one that failed is retried by the next; a write is atomic (a crash during
/// one leaves either the old or the new file) and says when it did not reach the disk.
class SettingsStore {
public:
    virtual ~SettingsStore() = default;
    virtual std::optional<double> readDouble(std::string_view key) const = 0;
    virtual std::optional<std::vector<std::string>> readStringArray(std::string_view key) const = 0;
    virtual std::optional<bool> readBool(std::string_view key) const = 0;
    [[nodiscard]] virtual std::optional<SettingsWriteError> writeDouble(std::string_view key,
                                                                        double value) = 0;
    [[nodiscard]] virtual std::optional<SettingsWriteError>
    writeStringArray(std::string_view key, const std::vector<std::string>& value) = 0;
    [[nodiscard]] virtual std::optional<SettingsWriteError> writeBool(std::string_view key,
                                                                      bool value) = 0;
};

} // namespace vornix
