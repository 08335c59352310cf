#include "platform/linux/dbus_desktop_notifier.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>

namespace vornix::linux_platform {

namespace {
const QString service = QStringLiteral("org.freedesktop.Notifications");
const QString path = QStringLiteral("/org/freedesktop/Notifications");
const QString interface = QStringLiteral("org.freedesktop.Notifications");
} // namespace

DBusDesktopNotifier::DBusDesktopNotifier(QDBusConnection bus, Options options)
    : bus_(std::move(bus)), options_(std::move(options)), context_(new QObject) {}

DBusDesktopNotifier::~DBusDesktopNotifier() {
    delete context_;
}

QString DBusDesktopNotifier::escapeMarkup(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        if (c == u'&')
            out += QStringLiteral("&amp;");
        else if (c == u'<')
            out += QStringLiteral("&lt;");
        else if (c == u'>')
            out += QStringLiteral("&gt;");
        else
            out += c;
    }
    return out;
}

void DBusDesktopNotifier::post(const DesktopNotification& notification) {
    if (!bus_.isConnected())
        return;

    // Whether the body is read as markup is the server's choice, announced in its
    // capabilities; ask each time, since the server may be replaced while we run.
    auto capabilities =
        QDBusMessage::createMethodCall(service, path, interface, QStringLiteral("GetCapabilities"));
    auto* watcher =
        new QDBusPendingCallWatcher(bus_.asyncCall(capabilities, options_.timeoutMs), context_);

    const QString title = QString::fromStdString(notification.title);
    const QString body = QString::fromStdString(notification.body);
    const QString sound = QString::fromStdString(notification.soundName);
    const QString category = QString::fromStdString(notification.category);
    const Options options = options_;
    QDBusConnection bus = bus_;
    QObject::connect(
        watcher, &QDBusPendingCallWatcher::finished, context_,
        [title, body, sound, category, options, bus](QDBusPendingCallWatcher* finished) mutable {
            finished->deleteLater();
            QDBusPendingReply<QStringList> reply = *finished;
            if (reply.isError() && reply.error().type() == QDBusError::ServiceUnknown)
                return; // nobody to show it
            const bool markup =
                !reply.isError() && reply.value().contains(QStringLiteral("body-markup"));

            QVariantMap hints;
            hints.insert(QStringLiteral("sound-name"), sound);
            hints.insert(QStringLiteral("category"), category);
            if (!options.desktopEntry.isEmpty())
                hints.insert(QStringLiteral("desktop-entry"), options.desktopEntry);

            auto notify =
                QDBusMessage::createMethodCall(service, path, interface, QStringLiteral("Notify"));
            notify << options.appName << quint32(0) << options.iconName << title
                   << (markup ? escapeMarkup(body) : body) << QStringList() << hints << qint32(-1);
            // Fire and forget: a refusal or a timeout changes nothing for the program.
            bus.asyncCall(notify, options.timeoutMs);
        });
}

} // namespace vornix::linux_platform
