#include "platform/linux/dbus_power_signals.h"

#include "platform/linux/diagnostics.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>

namespace vornix::linux_platform {

namespace {
const QString logindService = QStringLiteral("org.freedesktop.login1");
const QString upowerService = QStringLiteral("org.freedesktop.UPower");
const QString upowerPath = QStringLiteral("/org/freedesktop/UPower");
const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString onBatteryProperty = QStringLiteral("OnBattery");
} // namespace

LogindSleepSignal::LogindSleepSignal(QDBusConnection systemBus) : bus_(std::move(systemBus)) {
    if (bus_.isConnected())
        bus_.connect(logindService, QStringLiteral("/org/freedesktop/login1"),
                     QStringLiteral("org.freedesktop.login1.Manager"),
                     QStringLiteral("PrepareForSleep"), this, SLOT(prepareForSleep(bool)));
}

Subscription LogindSleepSignal::onPrepareForSleep(std::function<void(bool)> handler) {
    return handlers_.add(std::move(handler));
}

void LogindSleepSignal::prepareForSleep(bool start) {
    qCDebug(powerLog) << (start ? "the machine prepares to sleep" : "the machine woke up");
    handlers_.call(start);
}

UPowerSupply::UPowerSupply(QDBusConnection systemBus, int timeoutMs)
    : bus_(std::move(systemBus)), timeoutMs_(timeoutMs) {
    if (!bus_.isConnected())
        return;
    bus_.connect(upowerService, upowerPath, propertiesInterface,
                 QStringLiteral("PropertiesChanged"), this,
                 SLOT(propertiesChanged(QString, QVariantMap, QStringList)));
    presence_ = new QDBusServiceWatcher(upowerService, bus_,
                                        QDBusServiceWatcher::WatchForRegistration |
                                            QDBusServiceWatcher::WatchForUnregistration,
                                        this);
    connect(presence_, &QDBusServiceWatcher::serviceRegistered, this, [this] { ask(); });
    connect(presence_, &QDBusServiceWatcher::serviceUnregistered, this, [this] { set(false); });
    ask();
}

Subscription UPowerSupply::onBatteryChanged(std::function<void(bool)> handler) {
    return handlers_.add(std::move(handler));
}

void UPowerSupply::ask() {
    auto call = QDBusMessage::createMethodCall(upowerService, upowerPath, propertiesInterface,
                                               QStringLiteral("Get"));
    call << upowerService << onBatteryProperty;
    auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(call, timeoutMs_), this);
    const auto askedAt = changes_;
    connect(pending, &QDBusPendingCallWatcher::finished, this,
            [this, askedAt](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                const QDBusPendingReply<QDBusVariant> reply = *finished;
                // A change signalled meanwhile is newer than this answer.
                if (reply.isValid() && changes_ == askedAt)
                    set(reply.value().variant().toBool());
            });
}

void UPowerSupply::propertiesChanged(const QString& interface, const QVariantMap& changed,
                                     const QStringList& invalidated) {
    if (interface != upowerService)
        return;
    if (changed.contains(onBatteryProperty)) {
        ++changes_;
        set(changed.value(onBatteryProperty).toBool());
    } else if (invalidated.contains(onBatteryProperty)) {
        ask();
    }
}

void UPowerSupply::set(bool onBattery) {
    if (onBattery == onBattery_)
        return;
    onBattery_ = onBattery;
    qCDebug(powerLog) << (onBattery ? "on battery" : "on mains");
    handlers_.call(onBattery);
}

} // namespace vornix::linux_platform
