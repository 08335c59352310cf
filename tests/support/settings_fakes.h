#pragma once

#include "app/settings_store.h"

#include <map>
#include <string>
#include <variant>

namespace vornix::testing {

/// Settings in memory. `raw` may hold values of the wrong kind, as a hand-edited file would.
/// While `failure` is set every write fails with it; like the real store, the next write that
/// succeeds also stores the values whose writes failed.
class FakeSettingsStore final : public SettingsStore {
public:
    using Value = std::variant<double, std::string, std::vector<std::string>>;
    static constexpr const char* path = "/home/u/.config/vornix/vornix.conf";

    std::optional<double> readDouble(std::string_view key) const override {
        return read<double>(key);
    }
    std::optional<std::vector<std::string>> readStringArray(std::string_view key) const override {
        return read<std::vector<std::string>>(key);
    }
    std::optional<SettingsWriteError> writeDouble(std::string_view key, double value) override {
        return write(key, value);
    }
    std::optional<SettingsWriteError>
    writeStringArray(std::string_view key, const std::vector<std::string>& value) override {
        return write(key, value);
    }

    std::map<std::string, Value> raw;
    int writes = 0;
    std::optional<std::string> failure;

private:
    template <class T> std::optional<T> read(std::string_view key) const {
        auto it = raw.find(std::string(key));
        if (it == raw.end() || !std::holds_alternative<T>(it->second))
            return std::nullopt;
        return std::get<T>(it->second);
    }
    std::optional<SettingsWriteError> write(std::string_view key, Value value) {
        ++writes;
        written_[std::string(key)] = std::move(value);
        if (failure)
            return SettingsWriteError{path, *failure};
        for (const auto& [k, v] : written_)
            raw[k] = v;
        return std::nullopt;
    }
    std::map<std::string, Value> written_;
};

} // namespace vornix::testing
