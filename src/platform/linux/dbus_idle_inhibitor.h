#pragma once

#include "engine/idle_inhibitor.h"

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QString>

#include <optional>

namespace vornix::linux_platform {

/// Keeps the machine from idle sleep the way Linux desktops and logind understand it. The
/// inhibition is held through every mechanism that grants it:
///  - on the session bus, the first of the desktop portal's Inhibit (suspend), gnome-session's
///    Inhibit (suspend) and org.freedesktop.PowerManagement.Inhibit;
///  - on the system bus, a logind "idle" lock in "block" mode, held as a file descriptor
///    (it is what logind's IdleAction honours on machines without a desktop).
/// Never a logind "sleep" lock: that would also block a suspend the user asks for.
///
/// All of them end with our connections and descriptors, so a crashed or killed program
/// leaves nothing behind. Each call waits at most `timeoutMs`; the logind call runs alongside
/// the session-bus calls. Main thread only.
class DBusIdleInhibitor final : public IdleInhibitor {
public:
    struct Options {
        QString applicationID;   // gnome-session's app_id: the desktop entry's name
        QString applicationName; // logind's "who", PowerManagement's application
        int timeoutMs = 1000;
    };

    /// Either bus may be disconnected: its mechanisms are then not tried.
    DBusIdleInhibitor(QDBusConnection sessionBus, QDBusConnection systemBus, Options options);
    /// Gives back whatever is still held.
    ~DBusIdleInhibitor() override;
    DBusIdleInhibitor(const DBusIdleInhibitor&) = delete;
    DBusIdleInhibitor& operator=(const DBusIdleInhibitor&) = delete;

    /// `reason` is what every mechanism shows. Held when at least one mechanism granted it;
    /// while held, a second call asks nothing and answers true.
    bool inhibit(std::string_view reason) override;
    void release() override;

private:
    struct Hold {
        QString portalRequest;              // object path of the portal's request, or empty
        std::optional<quint32> gnomeCookie; // gnome-session's cookie
        std::optional<quint32> powerManagementCookie;
        QDBusUnixFileDescriptor logindLock; // closing it ends the lock
        bool empty() const;
    };

    bool inhibitThroughPortal(const QString& reason, Hold& hold);
    bool inhibitThroughGnomeSession(const QString& reason, Hold& hold);
    bool inhibitThroughPowerManagement(const QString& reason, Hold& hold);
    void closePortalRequest(const QString& path);
    void withdraw(const Hold& hold);

    QDBusConnection sessionBus_;
    QDBusConnection systemBus_;
    Options options_;
    std::optional<Hold> hold_;
};

} // namespace vornix::linux_platform
