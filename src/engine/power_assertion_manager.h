#pragma once

#include "engine/idle_inhibitor.h"

namespace vornix {

/// Keeps the machine from idle sleep while keeping drives awake is on, by holding at most one
/// idle inhibition. A refused one is silent: keeping drives awake goes on without it. Main
/// thread only.
class PowerAssertionManager {
public:
    static constexpr const char* reason = "Vornix is keeping external drives awake";

    explicit PowerAssertionManager(IdleInhibitor& inhibitor);
    /// Gives back a held inhibition.
    ~PowerAssertionManager();
    PowerAssertionManager(const PowerAssertionManager&) = delete;
    PowerAssertionManager& operator=(const PowerAssertionManager&) = delete;

    /// Takes the inhibition unless one is held.
    void acquire();
    /// Gives the inhibition back if one is held.
    void release();

    bool isAsserted() const { return isAsserted_; }

private:
    IdleInhibitor& inhibitor_;
    bool isAsserted_ = false;
};

} // namespace vornix
