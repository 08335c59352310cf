#pragma once

// What the application hears about the machine's power, in the words of the services that say
// it: logind announcing a system sleep, UPower saying whether the machine runs on battery.
// Handlers are called on the main thread.

#include "core/observable.h"

#include <functional>

namespace vornix {

/// logind's PrepareForSleep signal (org.freedesktop.login1.Manager).
class SleepSignal {
public:
    virtual ~SleepSignal() = default;
    /// Calls `handler(true)` when the machine is about to suspend or hibernate and
    /// `handler(false)` once it has woken (or the sleep was called off), until the subscription
    /// ends. Without logind it is never called.
    [[nodiscard]] virtual Subscription
    onPrepareForSleep(std::function<void(bool preparingForSleep)> handler) = 0;
};

/// UPower's OnBattery property (org.freedesktop.UPower).
class PowerSupply {
public:
    virtual ~PowerSupply() = default;
    /// What UPower last said; false until it has answered and whenever it is not on the bus.
    virtual bool onBattery() const = 0;
    /// Calls `handler` with the new onBattery() each time it changes, until the subscription
    /// ends.
    [[nodiscard]] virtual Subscription
    onBatteryChanged(std::function<void(bool onBattery)> handler) = 0;
};

} // namespace vornix
