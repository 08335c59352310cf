#pragma once

#include "engine/power_assertion_port.h"

#include <cstdint>

namespace vornix {

/// Keeps the machine from idle sleep while keeping drives awake is on, by holding at most one
/// system power assertion. A refused assertion is silent: keeping drives awake goes on without
/// it. Main thread only.
class PowerAssertionManager {
public:
    static constexpr const char* assertionType = "PreventUserIdleSystemSleep";
    static constexpr std::uint32_t assertionLevel = 255; // on
    static constexpr const char* assertionName = "Vornix is keeping external drives awake";

    explicit PowerAssertionManager(PowerAssertionPort& port);
    /// Gives back a held assertion.
    ~PowerAssertionManager();
    PowerAssertionManager(const PowerAssertionManager&) = delete;
    PowerAssertionManager& operator=(const PowerAssertionManager&) = delete;

    /// Takes the assertion unless one is held.
    void acquire();
    /// Gives the assertion back if one is held.
    void release();

    bool isAsserted() const { return isAsserted_; }
    /// The system's identifier of the held assertion; 0 while none is held.
    std::uint32_t assertionID() const { return assertionID_; }

private:
    PowerAssertionPort& port_;
    std::uint32_t assertionID_ = 0;
    bool isAsserted_ = false;
};

} // namespace vornix
