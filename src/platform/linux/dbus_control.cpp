#include "platform/linux/dbus_control.h"

#include "platform/linux/single_instance.h"
#include "vornix1_adaptor.h"

#include <QDBusMessage>
#include <QDBusMetaType>
#include <QLocale>

#include <algorithm>
#include <chrono>
#include <string_view>
#include <utility>

namespace vornix::linux_platform {

namespace {

const QString path = QString::fromLatin1(SingleInstance::objectPath);

const QString& interface() {
    static const QString name = [] {
        const QMetaObject& adaptor = Vornix1Adaptor::staticMetaObject;
        return QString::fromLatin1(
            adaptor.classInfo(adaptor.indexOfClassInfo("D-Bus Interface")).value());
    }();
    return name;
}

/// The generated adaptor without its relay of the object's signals to the whole bus: Event goes
/// to the subscribers alone, sent by hand.
class TargetedAdaptor : public Vornix1Adaptor {
public:
    explicit TargetedAdaptor(DBusControl* control) : Vornix1Adaptor(control) {
        setAutoRelaySignals(false);
    }
};

/// At most this many characters of what a caller sent are quoted back in an error.
constexpr std::size_t quotedCharacters = 64;

qlonglong millisecondsSinceEpoch(WallTime time) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

QString text(std::string_view value) {
    return QString::fromUtf8(value.data(), static_cast<qsizetype>(value.size()));
}

QString text(const std::optional<std::string>& value) {
    return value ? QString::fromStdString(*value) : QString();
}

} // namespace

DBusControl::DBusControl(QDBusConnection bus) : bus_(bus) {
    qDBusRegisterMetaType<QList<QVariantMap>>();
    new TargetedAdaptor(this);
    subscribers_.setConnection(bus);
    subscribers_.setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
    connect(&subscribers_, &QDBusServiceWatcher::serviceUnregistered, this,
            [this](const QString& name) { subscribers_.removeWatchedService(name); });
}

DBusControl::~DBusControl() = default;

void DBusControl::attach(AppState& state) {
    subscriptions_.clear();
    state_ = &state;
    const auto& events = state.eventLog().events.get();
    lastEventId_ = events.empty() ? std::string() : events.front().id;
    // Subscribers are called at once with the present value: that one is not a change.
    subscriptions_.push_back(state.isActive.subscribe([this, first = true](bool on) mutable {
        if (!std::exchange(first, false))
            announce({{QStringLiteral("KeepingAwake"), on}});
    }));
    subscriptions_.push_back(
        state.keepAliveInterval.subscribe([this, first = true](double seconds) mutable {
            if (!std::exchange(first, false))
                announce({{QStringLiteral("Interval"), seconds}});
        }));
    announcedPrevention_ = sleepPrevention();
    subscriptions_.push_back(state.sleepPrevention.subscribe(
        [this](const std::optional<InhibitionState>&) { announceSleepPrevention(); }));
    subscriptions_.push_back(
        state.eventLog().events.subscribe([this](const std::vector<LogEvent>& list) {
            // Newest first: everything before the last one sent is new, oldest sent first.
            const auto seen = std::find_if(list.begin(), list.end(),
                                           [&](const LogEvent& e) { return e.id == lastEventId_; });
            const QStringList subscribers = subscribers_.watchedServices();
            for (auto it = std::make_reverse_iterator(seen);
                 !subscribers.empty() && it != list.rend(); ++it) {
                const QList<QVariant> arguments{text(label(it->kind)), text(it->volumeName),
                                                QString::fromStdString(it->detail),
                                                millisecondsSinceEpoch(it->timestamp)};
                for (const auto& subscriber : subscribers) {
                    auto signal = QDBusMessage::createTargetedSignal(subscriber, path, interface(),
                                                                     QStringLiteral("Event"));
                    signal.setArguments(arguments);
                    bus_.send(signal);
                }
            }
            if (!list.empty())
                lastEventId_ = list.front().id;
        }));
}

bool DBusControl::keepingAwake() const {
    return state_ && state_->isActive.get();
}

double DBusControl::interval() const {
    return state_ ? state_->keepAliveInterval.get() : keep_alive_interval::defaultSeconds;
}

QList<QVariantMap> DBusControl::volumes() const {
    QList<QVariantMap> list;
    if (!state_)
        return list;
    for (const auto& v : state_->volumeMonitor().volumes.get())
        list.append(
            QVariantMap{{QStringLiteral("id"), QString::fromStdString(v.id)},
                        {QStringLiteral("name"), QString::fromStdString(v.name)},
                        {QStringLiteral("status"), text(statusName(v.status))},
                        {QStringLiteral("detail"), QString::fromStdString(v.statusDetail)},
                        {QStringLiteral("watched"), v.isWatched},
                        {QStringLiteral("mounted"), v.isCurrentlyMounted},
                        {QStringLiteral("mountPath"), text(v.mountPath)},
                        {QStringLiteral("device"), text(v.kernelName)},
                        {QStringLiteral("lastPing"),
                         v.lastPingAt ? millisecondsSinceEpoch(*v.lastPingAt) : qlonglong(0)},
                        {QStringLiteral("powerState"),
                         text(powerStateName(v.power ? v.power->state : DrivePowerState::unknown))},
                        {QStringLiteral("powerRead"),
                         v.power ? millisecondsSinceEpoch(v.power->at) : qlonglong(0)},
                        {QStringLiteral("failing"), v.driveFailing}});
    return list;
}

bool DBusControl::sleepPrevented() const {
    return state_ && state_->isSleepPrevented();
}

QVariantMap DBusControl::sleepPrevention() const {
    QStringList holders;
    const auto* now =
        state_ && state_->sleepPrevention.get() ? &*state_->sleepPrevention.get() : nullptr;
    for (const auto holder : now ? now->holders : std::vector<InhibitionService>{})
        holders << text(serviceName(holder));
    return {{QStringLiteral("state"), text(state_ ? state_->sleepPreventionName() : "off")},
            {QStringLiteral("holders"), holders},
            {QStringLiteral("detail"), now ? QString::fromStdString(describe(*now)) : QString()}};
}

void DBusControl::announceSleepPrevention() {
    const QVariantMap now = sleepPrevention();
    if (now == std::exchange(announcedPrevention_, now))
        return;
    announce({{QStringLiteral("SleepPrevented"), sleepPrevented()},
              {QStringLiteral("SleepPrevention"), now}});
}

void DBusControl::ShowPanel() {
    Q_EMIT showRequested();
}

void DBusControl::SetKeepingAwake(bool on) {
    if (state_ && state_->isActive.get() != on)
        state_->toggleGlobalActive();
}

void DBusControl::SetInterval(double seconds) {
    if (!keep_alive_interval::isUsable(seconds))
        return fail(
            "InvalidInterval",
            QStringLiteral("not an interval Vornix accepts: %1 s (whole seconds from %2 to %3)")
                .arg(QString::number(seconds, 'g', QLocale::FloatingPointShortest),
                     QString::number(keep_alive_interval::minimumSeconds),
                     QString::number(keep_alive_interval::maximumSeconds)));
    if (state_)
        state_->updateInterval(seconds);
}

void DBusControl::SetVolumeWatched(const QString& id, bool watched) {
    if (!state_)
        return;
    const std::string key = id.toStdString();
    const auto volume = state_->volumeMonitor().volume(key);
    if (!volume)
        return fail("UnknownVolume",
                    QStringLiteral("no volume with the id %1")
                        .arg(QString::fromStdString(displayName(key, quotedCharacters))));
    if (volume->isWatched != watched)
        state_->toggleVolume(volume->id);
}

QList<QVariantMap> DBusControl::Subscribe() {
    if (calledFromDBus() && !subscribers_.watchedServices().contains(message().service()))
        subscribers_.addWatchedService(message().service());
    return events();
}

QList<QVariantMap> DBusControl::events() const {
    QList<QVariantMap> list;
    if (!state_)
        return list;
    const auto& log = state_->eventLog().events.get();
    for (auto it = log.rbegin(); it != log.rend(); ++it) {
        list.append(QVariantMap{{QStringLiteral("kind"), text(label(it->kind))},
                                {QStringLiteral("volume"), text(it->volumeName)},
                                {QStringLiteral("detail"), QString::fromStdString(it->detail)},
                                {QStringLiteral("time"), millisecondsSinceEpoch(it->timestamp)}});
    }
    return list;
}

void DBusControl::Unsubscribe() {
    if (calledFromDBus())
        subscribers_.removeWatchedService(message().service());
}

void DBusControl::fail(const char* name, const QString& message) {
    if (calledFromDBus())
        sendErrorReply(interface() + QStringLiteral(".Error.") + QString::fromLatin1(name),
                       message);
}

void DBusControl::announce(const QVariantMap& changed) {
    auto signal =
        QDBusMessage::createSignal(path, QStringLiteral("org.freedesktop.DBus.Properties"),
                                   QStringLiteral("PropertiesChanged"));
    signal << interface() << changed << QStringList();
    bus_.send(signal);
}

} // namespace vornix::linux_platform
