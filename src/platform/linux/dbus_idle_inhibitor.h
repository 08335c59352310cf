#pragma once

#include "engine/idle_inhibitor.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace vornix::linux_platform {

/// Keeps the machine from idle sleep the way Linux desktops and logind understand it:
///  - on the session bus, through the first that grants it of gnome-session's Inhibit (suspend),
///    org.freedesktop.PowerManagement.Inhibit and the desktop portal's Inhibit (suspend): the
///    two that answer with a cookie come first, as they say the inhibition is held, where the
///    portal only says it took the request;
///  - on the system bus, alongside, a logind "idle" lock in "block" mode, held as a file
///    descriptor: what logind's IdleAction honours. In a desktop session, where the desktop
///    suspends for idleness on its own, it alone is only partial.
/// Never a logind "sleep" lock: that would also block a suspend the user asks for.
///
/// Every call is asynchronous, each answer bounded by `timeoutMs`. The services' bus names are
/// watched: a holder that leaves is lost and the inhibition is taken anew from those there; a
/// session service that comes onto the bus is asked when it would be surer than the one holding
/// there (logind, when it holds no lock); a portal request that its backend turns down (a
/// non-zero Response) counts as refused. A grant that answers after release() is given back at
/// once. All of it ends with our connections and descriptors, so a crashed or killed program
/// leaves nothing behind. Main thread only.
class DBusIdleInhibitor final : public QObject, public IdleInhibitor {
    Q_OBJECT
public:
    struct Options {
        QString applicationID;   // gnome-session's app_id: the desktop entry's name
        QString applicationName; // logind's "who", PowerManagement's application
        int timeoutMs = 5000;
        bool desktopSession = true; // a desktop suspends for idleness, besides logind
    };

    /// Either bus may be disconnected: its services then refuse with the bus's error.
    DBusIdleInhibitor(QDBusConnection sessionBus, QDBusConnection systemBus, Options options);
    /// Gives back whatever is still held.
    ~DBusIdleInhibitor() override;
    DBusIdleInhibitor(const DBusIdleInhibitor&) = delete;
    DBusIdleInhibitor& operator=(const DBusIdleInhibitor&) = delete;

    void inhibit(std::string_view reason, Handler changed) override;
    void release() override;

private Q_SLOTS:
    void portalResponse(uint response, const QVariantMap& results, const QDBusMessage& signal);

private:
    struct Service {
        Service(InhibitionService id, QString busName) : id(id), busName(std::move(busName)) {}
        InhibitionService id;
        QString busName;
        enum class Phase { untried, asking, refused, holding } phase = Phase::untried;
        std::optional<InhibitionRefusal> refusal;
        quint32 cookie = 0;           // gnome-session's or PowerManagement's
        QString request;              // the portal's request object
        QDBusUnixFileDescriptor lock; // logind's; closing it ends the lock
    };

    QDBusConnection& busOf(const Service& service);
    InhibitionAssurance assuranceOf(InhibitionService service) const;
    void advance();
    void ask(Service& service);
    void answered(Service& service, std::uint64_t round, const QDBusMessage& reply,
                  const QString& expectedRequest);
    void ownerChanged(Service& service, const QString& oldOwner, const QString& newOwner);
    void withdraw(Service& service);
    void reportIfSettled();

    QDBusConnection sessionBus_;
    QDBusConnection systemBus_;
    Options options_;
    QString reason_;
    Handler changed_;                 // set while the inhibition is wanted
    std::uint64_t round_ = 0;         // answers to calls of an earlier inhibit() are given back
    std::array<Service, 4> services_; // the session's in the order asked, then logind
    std::vector<InhibitionService> leftTheBus_;
    std::optional<InhibitionState> reported_;
};

} // namespace vornix::linux_platform
