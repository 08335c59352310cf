#pragma once

#include "app/login_item_port.h"
#include "engine/power_assertion_port.h"

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vornix::testing {

/// Grants (or refuses) assertions with increasing identifiers and records every call.
class FakePowerAssertionPort final : public PowerAssertionPort {
public:
    struct Creation {
        std::string type;
        std::uint32_t level;
        std::string name;
    };

    std::optional<std::uint32_t> create(std::string_view type, std::uint32_t level,
                                        std::string_view name) override {
        creations.push_back({std::string(type), level, std::string(name)});
        if (refuse)
            return std::nullopt;
        held.insert(nextID);
        return nextID++;
    }
    void release(std::uint32_t id) override {
        releases.push_back(id);
        held.erase(id);
    }

    bool refuse = false;
    std::uint32_t nextID = 41;
    std::vector<Creation> creations;
    std::vector<std::uint32_t> releases;
    std::set<std::uint32_t> held; // granted and not yet released
};

/// A login-item registry in memory. `refusal`, when set, makes every change throw it.
class FakeLoginItemPort final : public LoginItemPort {
public:
    LoginItemStatus status() const override {
        ++statusReads;
        return current;
    }
    void registerItem() override {
        ++registerCalls;
        if (refusal)
            throw LoginItemError(*refusal);
        current = statusAfterRegister;
    }
    void unregisterItem() override {
        ++unregisterCalls;
        if (refusal)
            throw LoginItemError(*refusal);
        current = LoginItemStatus::notRegistered;
    }

    LoginItemStatus current = LoginItemStatus::notRegistered;
    /// What a successful registration leads to: `requiresApproval` stands for a registry that
    /// waits for the user.
    LoginItemStatus statusAfterRegister = LoginItemStatus::enabled;
    std::optional<std::string> refusal;
    mutable int statusReads = 0;
    int registerCalls = 0;
    int unregisterCalls = 0;
};

} // namespace vornix::testing
