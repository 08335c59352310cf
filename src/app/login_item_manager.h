#pragma once

#include "app/login_item_port.h"

namespace vornix {

/// Registers or unregisters the application as a login item. It holds no state: the truth
/// stays with the platform, and the caller reads `status()` again after every change.
class LoginItemManager {
public:
    explicit LoginItemManager(LoginItemPort& port);
    LoginItemManager(const LoginItemManager&) = delete;
    LoginItemManager& operator=(const LoginItemManager&) = delete;

    /// True registers (no call at all when already enabled), false unregisters. Throws the
    /// platform's LoginItemError unchanged when the registry refuses.
    void setEnabled(bool enabled);
    LoginItemStatus status() const;

private:
    LoginItemPort& port_;
};

} // namespace vornix
