#include "engine/power_assertion_manager.h"

namespace vornix {

PowerAssertionManager::PowerAssertionManager(IdleInhibitor& inhibitor) : inhibitor_(inhibitor) {}

PowerAssertionManager::~PowerAssertionManager() {
    release();
}

void PowerAssertionManager::acquire() {
    if (!isAsserted_)
        isAsserted_ = inhibitor_.inhibit(reason);
}

void PowerAssertionManager::release() {
    if (!isAsserted_)
        return;
    // Released in our books before the call: a failed release changes nothing for us.
    isAsserted_ = false;
    inhibitor_.release();
}

} // namespace vornix
