#pragma once

#include "log/desktop_notifier.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QObject>
#include <QString>

#include <map>
#include <memory>

namespace vornix::linux_platform {

/// org.freedesktop.Notifications on the session bus. Every call is asynchronous with a short
/// timeout, so a hung or missing server never blocks the main thread; the answer to Notify (or
/// its absence) is each notification's outcome.
class DBusDesktopNotifier final : public DesktopNotifier {
public:
    struct Options {
        QString appName = QStringLiteral("Vornix");
        QString iconName = QStringLiteral("drive-harddisk");
        QString desktopEntry;
        int timeoutMs = 3000;
    };

    DBusDesktopNotifier(QDBusConnection bus, Options options);
    ~DBusDesktopNotifier() override;

    void post(const DesktopNotification& notification) override;
    Subscription watchOutcomes(std::function<void(const NotificationOutcome&)> handler) override;

    /// Text made safe for servers that render body markup ("body-markup" capability).
    static QString escapeMarkup(const QString& text);

private:
    using Watchers = std::map<int, std::function<void(const NotificationOutcome&)>>;

    /// Tells the watchers how a notification fared, by the error of its last call (none: shown).
    void report(const QDBusError& error);
    void tell(const NotificationOutcome& outcome);

    QDBusConnection bus_;
    Options options_;
    QObject* context_; // owns the pending-call watchers; they die with the notifier
    std::shared_ptr<Watchers> watchers_ = std::make_shared<Watchers>(); // shared with subscriptions
    int nextWatcher_ = 0;
};

} // namespace vornix::linux_platform
