#include "app/login_item_manager.h"

namespace vornix {

LoginItemManager::LoginItemManager(LoginItemPort& port) : port_(port) {}

void LoginItemManager::setEnabled(bool enabled) {
    if (!enabled) {
        port_.unregisterItem();
        return;
    }
    if (port_.status() == LoginItemStatus::enabled)
        return;
    port_.registerItem();
}

LoginItemStatus LoginItemManager::status() const {
    return port_.status();
}

} // namespace vornix
