#pragma once

#include <stdexcept>
#include <string>

namespace vornix {

/// The platform's registration of this application as a login item. Only `enabled` means
/// that the application will start at login.
enum class LoginItemStatus { notRegistered, enabled, requiresApproval, notFound };

/// The platform's refusal of a login-item change; `what()` is the system's own error text.
class LoginItemError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// The per-user login-item registry, for the running application itself. Synchronous; called
/// on the main thread only.
class LoginItemPort {
public:
    virtual ~LoginItemPort() = default;
    /// Never fails: what cannot be read counts as not registered.
    virtual LoginItemStatus status() const = 0;
    /// Registers the running program to start at login. Throws LoginItemError.
    virtual void registerItem() = 0;
    /// Removes the registration; removing one that is absent is not an error. Throws
    /// LoginItemError.
    virtual void unregisterItem() = 0;
};

} // namespace vornix
