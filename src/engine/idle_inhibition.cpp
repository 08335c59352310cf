#include "engine/idle_inhibition.h"

namespace vornix {

IdleInhibition::IdleInhibition(IdleInhibitor& inhibitor) : inhibitor_(inhibitor) {}

IdleInhibition::~IdleInhibition() {
    release();
}

void IdleInhibition::acquire() {
    if (!isHeld_)
        isHeld_ = inhibitor_.inhibit(reason);
}

void IdleInhibition::release() {
    if (!isHeld_)
        return;
    // Released in our books before the call: a failed release changes nothing for us.
    isHeld_ = false;
    inhibitor_.release();
}

} // namespace vornix
