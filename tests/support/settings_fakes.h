#pragma once

#include "app/settings_store.h"

#include <map>
#include <variant>

namespace vornix::testing {

/// Settings in memory. `raw` may hold values of the wrong kind, as a hand-edited file would.
/// While `failure` is set every write fails with it.
class FakeSettingsStore final : public SettingsStore {
    using Ids = std::vector<std::string>;
    using Error = std::optional<SettingsWriteError>;

public:
    std::optional<double> readDouble(std::string_view k) const override { return get<double>(k); }
    std::optional<Ids> readStringArray(std::string_view k) const override { return get<Ids>(k); }
    std::optional<bool> readBool(std::string_view k) const override { return get<bool>(k); }
    Error writeDouble(std::string_view k, double v) override { return put(k, v); }
    Error writeBool(std::string_view k, bool v) override { return put(k, v); }
    Error writeStringArray(std::string_view k, const Ids& v) override { return put(k, v); }

    std::map<std::string, std::variant<double, std::string, Ids, bool>, std::less<>> raw;
    int writes = 0;
    std::optional<std::string> failure;

private:
    template <class T> std::optional<T> get(std::string_view key) const {
        const auto it = raw.find(key);
        const T* value = it == raw.end() ? nullptr : std::get_if<T>(&it->second);
        return value ? std::optional<T>(*value) : std::nullopt;
    }
    template <class T> Error put(std::string_view key, const T& value) {
        ++writes;
        if (failure)
            return SettingsWriteError{"vornix.conf", *failure};
        raw[std::string(key)] = value;
        return std::nullopt;
    }
};

} // namespace vornix::testing
