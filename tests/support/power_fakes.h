#pragma once

#include "app/autostart_port.h"
#include "app/system_power_ports.h"
#include "engine/idle_inhibitor.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vornix::testing {

/// Takes idle inhibitions and answers as the test tells it; records every call.
struct FakeIdleInhibitor final : IdleInhibitor {
    void inhibit(std::string_view reason, Handler changed) override {
        holds.emplace_back(reason);
        handler = std::move(changed);
    }
    void release() override { ++releases, handler = nullptr; }
    /// What the services answered, delivered as the port does: only while wanted.
    void answer(const InhibitionState& state) { handler ? handler(state) : void(); }
    bool wanted() const { return handler != nullptr; }

    Handler handler;
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
