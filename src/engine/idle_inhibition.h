#pragma once

#include "engine/idle_inhibitor.h"

namespace vornix {

/// Keeps the machine from idle sleep while keeping drives awake is on, by holding at most one
/// idle inhibition. A refused one is silent: keeping drives awake goes on without it. Main
/// thread only.
class IdleInhibition {
public:
    static constexpr const char* reason = "Vornix is keeping external drives awake";

    explicit IdleInhibition(IdleInhibitor& inhibitor);
    /// Gives back a held inhibition.
    ~IdleInhibition();
    IdleInhibition(const IdleInhibition&) = delete;
    IdleInhibition& operator=(const IdleInhibition&) = delete;

    /// Takes the inhibition unless one is held.
    void acquire();
    /// Gives the inhibition back if one is held.
    void release();

    bool isHeld() const { return isHeld_; }

private:
    IdleInhibitor& inhibitor_;
    bool isHeld_ = false;
};

} // namespace vornix
