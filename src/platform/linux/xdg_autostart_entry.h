#pragma once

#include "app/autostart_port.h"

#include <string>
#include <string_view>

namespace vornix::linux_platform {

/// The XDG autostart entry `<config home>/autostart/<application id>.desktop`, whose Exec is the
/// running program's absolute path. Statuses:
///  - enabled: the entry exists, is not hidden, and would start a program that is there;
///  - absent: no entry, or one that is `Hidden=true` (how desktops switch it off);
///  - disabled: the entry is switched off in the desktop's startup settings
///    (`X-GNOME-Autostart-enabled=false`); installing again switches it back on;
///  - programMissing: the program the entry would start is no longer there (moved or removed).
/// Every refusal throws AutostartError with the system's text for the error number.
class XdgAutostartEntry final : public AutostartPort {
public:
    /// An empty `programPath` means the running program; an empty `configHome` means
    /// $XDG_CONFIG_HOME or else ~/.config, looked up on every call.
    explicit XdgAutostartEntry(std::string applicationID, std::string programPath = {},
                               std::string configHome = {});

    AutostartStatus status() const override;
    /// Writes the entry atomically: a reader sees the old entry or the new one, never a part.
    void install() override;
    void uninstall() override;

    /// Where the entry lives; empty when no config home can be found.
    std::string entryPath() const;

    /// The entry for a program at `programPath`. Throws AutostartError where a desktop entry
    /// cannot express the path (not UTF-8, control characters).
    static std::string entryText(std::string_view programPath);
    /// `programPath` as the first word of an Exec value, quoted where the desktop entry rules
    /// ask for it (before the value's own escapes are applied).
    static std::string execArgument(std::string_view programPath);

private:
    std::string configHome() const;
    std::string programPath() const;

    std::string applicationID_;
    std::string programPath_;
    std::string configHome_;
};

} // namespace vornix::linux_platform
