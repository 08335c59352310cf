#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vornix {

/// The services through which the machine may be kept from idle sleep, in Linux's terms.
enum class InhibitionService {
    gnomeSession,    // org.gnome.SessionManager: a cookie
    powerManagement, // org.freedesktop.PowerManagement: a cookie (KDE, XFCE and others)
    desktopPortal,   // org.freedesktop.portal.Inhibit: a request handle
    logind,          // an "idle" block lock of org.freedesktop.login1, held as a descriptor
};

/// How sure it is that the machine will not idle to sleep, least sure first.
enum class InhibitionAssurance {
    none,      // nothing holds it
    partial,   // only logind's idle lock, in a desktop session: the desktop suspends on its own
    requested, // the desktop portal took the request; its backend has not confirmed anything
    held,      // a service that suspends for idleness granted it
};

/// Why a service did not grant the inhibition.
struct InhibitionRefusal {
    enum class Cause { noService, accessDenied, timeout, other };
    InhibitionService service;
    Cause cause;
    std::string error; // the service's or the bus's error name and text

    bool operator==(const InhibitionRefusal&) const = default;
};

/// What holds the inhibition after the services asked have all answered.
struct InhibitionState {
    InhibitionAssurance assurance = InhibitionAssurance::none;
    std::vector<InhibitionService> holders;      // the surest first; empty when none
    std::vector<InhibitionRefusal> refusals;     // of the services asked that did not grant
    std::vector<InhibitionService> leftTheBus{}; // holders lost since the previous state

    bool operator==(const InhibitionState&) const = default;
};

/// The system's idle inhibition: while held, neither the desktop nor logind puts the machine to
/// sleep for lack of user activity. A suspend the user asks for is never blocked. Main thread only.
class IdleInhibitor {
public:
    using Handler = std::function<void(const InhibitionState&)>;
    virtual ~IdleInhibitor() = default;

    /// Starts taking an inhibition shown to the user as `reason`, and keeps taking it while it is
    /// wanted: from a service that comes onto the bus and makes it surer, and again when a holder
    /// leaves the bus. `changed` receives each state once every service asked has answered, the
    /// first one included, later whenever what holds changes or a holder left; always on the main
    /// thread, never inside a call of this interface. Never blocks. Called only while released.
    virtual void inhibit(std::string_view reason, Handler changed) = 0;

    /// Ends whatever is held or still being asked for, without waiting for any service. `changed`
    /// is not called again; an answer that comes later gives back what it granted.
    virtual void release() = 0;
};

/// A service's name for scripts: "gnomeSession", "powerManagement", "desktopPortal", "logind".
std::string_view serviceName(InhibitionService service);
/// "none", "partial", "requested", "held".
std::string_view assuranceName(InhibitionAssurance assurance);

} // namespace vornix
