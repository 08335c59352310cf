#include "platform/linux/dbus_desktop_notifier.h"

#include "platform/linux/diagnostics.h"

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
    if (!bus_.isConnected()) {
        const QDBusError error = bus_.lastError();
        const QString why =
            error.isValid() ? error.message() : QStringLiteral("not connected to the session bus");
        qCWarning(notifyLog).noquote() << "notification not shown, no session bus:" << why;
        QMetaObject::invokeMethod(
            context_,
            [this, why] {
                tell({NotificationOutcome::Status::noServer, why.toStdString()});
            },
            Qt::QueuedConnection);
        return;
    }

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
    QObject::connect(
        watcher, &QDBusPendingCallWatcher::finished, context_,
        [this, title, body, sound, category](QDBusPendingCallWatcher* finished) {
            finished->deleteLater();
            QDBusPendingReply<QStringList> reply = *finished;
            if (reply.isError() && reply.error().type() == QDBusError::ServiceUnknown)
                return report(reply.error()); // nobody to show it
            qCDebug(notifyLog).noquote()
                << "server capabilities:"
                << (reply.isError() ? reply.error().message() : reply.value().join(u' '));
            const bool markup =
                !reply.isError() && reply.value().contains(QStringLiteral("body-markup"));

            QVariantMap hints;
            hints.insert(QStringLiteral("sound-name"), sound);
            hints.insert(QStringLiteral("category"), category);
            if (!options_.desktopEntry.isEmpty())
                hints.insert(QStringLiteral("desktop-entry"), options_.desktopEntry);

            auto notify =
                QDBusMessage::createMethodCall(service, path, interface, QStringLiteral("Notify"));
            notify << options_.appName << quint32(0) << options_.iconName << title
                   << (markup ? escapeMarkup(body) : body) << QStringList() << hints << qint32(-1);
            auto* sent =
                new QDBusPendingCallWatcher(bus_.asyncCall(notify, options_.timeoutMs), context_);
            QObject::connect(sent, &QDBusPendingCallWatcher::finished, context_,
                             [this](QDBusPendingCallWatcher* done) {
                                 done->deleteLater();
                                 report(done->error());
                             });
        });
}

void DBusDesktopNotifier::report(const QDBusError& error) {
    using Status = NotificationOutcome::Status;
    if (!error.isValid()) {
        qCDebug(notifyLog) << "notification shown";
        return tell({});
    }
    qCWarning(notifyLog).noquote() << "notification not shown:" << error.name() << error.message();
    const auto type = error.type();
    tell({type == QDBusError::ServiceUnknown || type == QDBusError::Disconnected ? Status::noServer
          : type == QDBusError::NoReply || type == QDBusError::Timeout           ? Status::noAnswer
                                                                                 : Status::refused,
          error.message().toStdString()});
}

Subscription
DBusDesktopNotifier::watchOutcomes(std::function<void(const NotificationOutcome&)> handler) {
    const int key = nextWatcher_++;
    (*watchers_)[key] = std::move(handler);
    return Subscription([weak = std::weak_ptr<Watchers>(watchers_), key] {
        if (const auto watchers = weak.lock())
            watchers->erase(key);
    });
}

void DBusDesktopNotifier::tell(const NotificationOutcome& outcome) {
    // A watcher may end its own or another subscription while it is told.
    const auto watchers = watchers_;
    for (auto it = watchers->begin(); it != watchers->end();) {
        const int key = it->first;
        const auto handler = it->second;
        handler(outcome);
        it = watchers->upper_bound(key);
    }
}

} // namespace vornix::linux_platform
