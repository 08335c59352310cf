#pragma once

#include "app/login_item_port.h"

#include <string>
#include <string_view>

namespace vornix::linux_platform {

/// The login item as an XDG autostart entry, `<config home>/autostart/<application id>.desktop`,
/// whose Exec is the running program's absolute path. Statuses:
///  - enabled: the entry exists, is not hidden, and would start a program that is there;
///  - notRegistered: no entry, or one that is `Hidden=true` (how desktops switch it off);
///  - requiresApproval: the entry is switched off in the desktop's startup settings
///    (`X-GNOME-Autostart-enabled=false`); registering again switches it back on;
///  - notFound: the program the entry would start is no longer there (moved or removed).
/// Every refusal throws LoginItemError with the system's text for the error number.
class XdgAutostartLoginItem final : public LoginItemPort {
public:
    /// An empty `programPath` means the running program; an empty `configHome` means
    /// $XDG_CONFIG_HOME or else ~/.config, looked up on every call.
    explicit XdgAutostartLoginItem(std::string applicationID, std::string programPath = {},
                                   std::string configHome = {});

    LoginItemStatus status() const override;
    /// Writes the entry atomically: a reader sees the old entry or the new one, never a part.
    void registerItem() override;
    void unregisterItem() override;

    /// Where the entry lives; empty when no config home can be found.
    std::string entryPath() const;

    /// The entry for a program at `programPath`. Throws LoginItemError where a desktop entry
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
