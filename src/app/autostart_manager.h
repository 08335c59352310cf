#pragma once

#include "app/autostart_port.h"

namespace vornix {

/// Switches the program's start at login on or off. It holds no state: the truth stays with the
/// system, and the caller reads `status()` again after every change.
class AutostartManager {
public:
    explicit AutostartManager(AutostartPort& port);
    AutostartManager(const AutostartManager&) = delete;
    AutostartManager& operator=(const AutostartManager&) = delete;

    /// True installs the autostart entry (no call at all when already enabled), false removes
    /// it. Throws the system's AutostartError unchanged when it refuses.
    void setEnabled(bool enabled);
    AutostartStatus status() const;

private:
    AutostartPort& port_;
};

} // namespace vornix
