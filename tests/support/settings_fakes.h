#pragma once

#include "app/settings_store.h"

#include <map>
#include <string>
#include <variant>

namespace vornix::testing {

/// Settings in memory. `raw` may hold values of the wrong kind, as a hand-edited file would.
class FakeSettingsStore final : public SettingsStore {
public:
    using Value = std::variant<double, std::string, std::vector<std::string>>;

    std::optional<double> readDouble(std::string_view key) const override {
        auto it = raw.find(std::string(key));
        if (it == raw.end() || !std::holds_alternative<double>(it->second))
            return std::nullopt;
        return std::get<double>(it->second);
    }
    std::optional<std::vector<std::string>> readStringArray(std::string_view key) const override {
        auto it = raw.find(std::string(key));
        if (it == raw.end() || !std::holds_alternative<std::vector<std::string>>(it->second))
            return std::nullopt;
        return std::get<std::vector<std::string>>(it->second);
    }
    void writeDouble(std::string_view key, double value) override {
        ++writes;
        raw[std::string(key)] = value;
    }
    void writeStringArray(std::string_view key, const std::vector<std::string>& value) override {
        ++writes;
        raw[std::string(key)] = value;
    }

    std::map<std::string, Value> raw;
    int writes = 0;
};

} // namespace vornix::testing
