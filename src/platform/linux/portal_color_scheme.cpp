#include "platform/linux/portal_color_scheme.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace vornix::linux_platform {

namespace {
const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString settingsInterface = QStringLiteral("org.freedesktop.portal.Settings");
const QString appearance = QStringLiteral("org.freedesktop.appearance");
const QString colorScheme = QStringLiteral("color-scheme");
} // namespace

PortalColorScheme::PortalColorScheme(QDBusConnection sessionBus, QObject* parent)
    : QObject(parent), bus_(std::move(sessionBus)) {
    if (!bus_.isConnected())
        return;
    // QtDBus finds the slot's argument types by name, and that of QDBusVariant is known only
    // once the type is registered.
    qRegisterMetaType<QDBusVariant>();
    bus_.connect(portalService, portalPath, settingsInterface, QStringLiteral("SettingChanged"),
                 this, SLOT(settingChanged(QString, QString, QDBusVariant)));
    auto call = QDBusMessage::createMethodCall(portalService, portalPath, settingsInterface,
                                               QStringLiteral("Read"));
    call << appearance << colorScheme;
    auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                const QDBusPendingReply<QDBusVariant> reply = *finished;
                // A change signalled meanwhile is newer than this answer.
                if (reply.isValid() && changes_ == 0)
                    set(reply.value().variant());
            });
}

void PortalColorScheme::settingChanged(const QString& group, const QString& key,
                                       const QDBusVariant& value) {
    if (group != appearance || key != colorScheme)
        return;
    ++changes_;
    set(value.variant());
}

void PortalColorScheme::set(const QVariant& value) {
    QVariant unwrapped = value;
    while (unwrapped.metaType() == QMetaType::fromType<QDBusVariant>())
        unwrapped = unwrapped.value<QDBusVariant>().variant();
    bool ok = false;
    const uint number = unwrapped.toUInt(&ok);
    const Scheme scheme = ok && number <= 2 ? static_cast<Scheme>(number) : Scheme::noPreference;
    if (scheme == scheme_)
        return;
    scheme_ = scheme;
    Q_EMIT changed(scheme);
}

} // namespace vornix::linux_platform
