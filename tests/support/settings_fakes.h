#pragma once

#include "app/settings_store.h"

#include <map>
#include <string>
#include <variant>

namespace vornix::testing {

/// Settings in memory. `raw` may hold values of the wrong kind, as a hand-edited file would.
/// While `failure` is set every write fails with it.
class FakeSettingsStore final : public SettingsStore {
public:
    using Value = std::variant<double, std::string, std::vector<std::string>>;
    using Ids = std::vector<std::string>;

    std::optional<double> readDouble(std::string_view key) const override {
        return get<double>(key);
    }
    std::optional<Ids> readStringArray(std::string_view key) const override {
        return get<Ids>(key);
    }
    std::optional<SettingsWriteError> writeDouble(std::string_view key, double value) override {
        return put(key, value);
    }
    std::optional<SettingsWriteError> writeStringArray(std::string_view key,
                                                       const Ids& value) override {
        return put(key, value);
    }

    std::map<std::string, Value, std::less<>> raw;
    int writes = 0;
    std::optional<std::string> failure;

private:
    template <class T> std::optional<T> get(std::string_view key) const {
        const auto it = raw.find(key);
        if (it == raw.end() || !std::holds_alternative<T>(it->second))
            return std::nullopt;
        return std::get<T>(it->second);
    }
    std::optional<SettingsWriteError> put(std::string_view key, Value value) {
        ++writes;
        if (failure)
            return SettingsWriteError{"vornix.conf", *failure};
        raw[std::string(key)] = std::move(value);
        return std::nullopt;
    }
};

} // namespace vornix::testing
