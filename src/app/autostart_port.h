#pragma once

#include <stdexcept>
#include <string>

namespace vornix {

/// Whether the desktop starts this program when the user logs in. Only `enabled` means that it
/// will.
enum class AutostartStatus {
    absent,         // no autostart entry, or one the desktop hides
    enabled,        // an entry that starts the program at login
    disabled,       // an entry switched off in the desktop's own startup settings
    programMissing, // an entry whose program is no longer there
};

/// The system's refusal of an autostart change; `what()` is the system's own error text.
class AutostartError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// The user's autostart entry for the running program. Synchronous; called on the main thread
/// only.
class AutostartPort {
public:
    virtual ~AutostartPort() = default;
    /// Never fails: what cannot be read counts as absent.
    virtual AutostartStatus status() const = 0;
    /// Makes the running program start at login. Throws AutostartError.
    virtual void install() = 0;
    /// Removes the entry; removing one that is absent is not an error. Throws AutostartError.
    virtual void uninstall() = 0;
};

} // namespace vornix
