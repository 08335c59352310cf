#pragma once

#include "app/autostart_port.h"
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

/// An autostart entry in memory. `refusal`, when set, makes every change throw it.
struct FakeAutostartPort final : AutostartPort {
    AutostartStatus status() const override { return current; }
    void install() override {
        ++installCalls;
        change(AutostartStatus::enabled);
    }
    void uninstall() override { change(AutostartStatus::absent); }
    void change(AutostartStatus to) {
        if (refusal)
            throw AutostartError(*refusal);
        current = to;
    }

    AutostartStatus current = AutostartStatus::absent;
    std::optional<std::string> refusal;
    int installCalls = 0;
};

} // namespace vornix::testing
