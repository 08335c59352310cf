#pragma once

#include "app/login_item_port.h"
#include "app/system_power_ports.h"
#include "engine/idle_inhibitor.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vornix::testing {

/// Grants (or refuses) idle inhibitions and records every call.
struct FakeIdleInhibitor final : IdleInhibitor {
    bool inhibit(std::string_view reason) override {
        holds.emplace_back(reason);
        return held = !refuse;
    }
    void release() override { ++releases, held = false; }

    bool refuse = false, held = false;
    std::vector<std::string> holds; // the reason of every request
    int releases = 0;
};

/// logind's sleep signal and UPower's supply, as the test tells them.
class FakeMachinePower final : public SleepSignal, public PowerSupply {
    using Handler = std::function<void(bool)>;

public:
    Subscription onPrepareForSleep(Handler h) override { return keep(sleep_, std::move(h)); }
    Subscription onBatteryChanged(Handler h) override { return keep(supply_, std::move(h)); }
    bool onBattery() const override { return battery; }
    void prepareForSleep(bool start) { sleep_ ? sleep_(start) : void(); }
    void setOnBattery(bool on) { supply_ ? supply_(battery = on) : void(); }
    bool battery = false;

private:
    Subscription keep(Handler& slot, Handler handler) {
        slot = std::move(handler);
        return Subscription([&slot] { slot = nullptr; });
    }
    Handler sleep_, supply_;
};

/// A login-item registry in memory. `refusal`, when set, makes every change throw it.
struct FakeLoginItemPort final : LoginItemPort {
    LoginItemStatus status() const override { return current; }
    void registerItem() override {
        ++registerCalls;
        change(LoginItemStatus::enabled);
    }
    void unregisterItem() override { change(LoginItemStatus::notRegistered); }
    void change(LoginItemStatus to) {
        if (refusal)
            throw LoginItemError(*refusal);
        current = to;
    }

    LoginItemStatus current = LoginItemStatus::notRegistered;
    std::optional<std::string> refusal;
    int registerCalls = 0;
};

} // namespace vornix::testing
