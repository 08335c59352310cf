#include "app/autostart_manager.h"

namespace vornix {

AutostartManager::AutostartManager(AutostartPort& port) : port_(port) {}

void AutostartManager::setEnabled(bool enabled) {
    if (!enabled) {
        port_.uninstall();
        return;
    }
    if (port_.status() == AutostartStatus::enabled)
        return;
    port_.install();
}

AutostartStatus AutostartManager::status() const {
    return port_.status();
}

} // namespace vornix
