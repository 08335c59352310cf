#pragma once

#include "log/desktop_notifier.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>

namespace vornix::linux_platform {

/// org.freedesktop.Notifications on the session bus. Every call is asynchronous with a short
/// timeout, so a hung or missing server never blocks the main thread; failures are dropped.
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

    /// Text made safe for servers that render body markup ("body-markup" capability).
    static QString escapeMarkup(const QString& text);

private:
    QDBusConnection bus_;
    Options options_;
    QObject* context_; // owns the pending-call watchers; they die with the notifier
};

} // namespace vornix::linux_platform
