#include "engine/power_assertion_manager.h"

namespace vornix {

PowerAssertionManager::PowerAssertionManager(PowerAssertionPort& port) : port_(port) {}

PowerAssertionManager::~PowerAssertionManager() {
    release();
}

void PowerAssertionManager::acquire() {
    if (isAsserted_)
        return;
    if (const auto id = port_.create(assertionType, assertionLevel, assertionName)) {
        assertionID_ = *id;
        isAsserted_ = true;
    }
}

void PowerAssertionManager::release() {
    if (!isAsserted_)
        return;
    const std::uint32_t id = assertionID_;
    // Released in our books before the call: a failed release changes nothing for us.
    isAsserted_ = false;
    assertionID_ = 0;
    port_.release(id);
}

} // namespace vornix
