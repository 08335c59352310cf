#include "platform/linux/dbus_control.h"

#include "platform/linux/single_instance.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusServiceWatcher>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <chrono>
#include <string_view>
#include <utility>

namespace vornix::linux_platform {

namespace {

const QString service = QString::fromLatin1(SingleInstance::serviceName);
const QString path = QString::fromLatin1(SingleInstance::objectPath);
const QString interface = QString::fromLatin1(SingleInstance::interfaceName);

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
            announce("KeepingAwake", on);
    }));
    subscriptions_.push_back(
        state.keepAliveInterval.subscribe([this, first = true](double seconds) mutable {
            if (!std::exchange(first, false))
                announce("Interval", seconds);
        }));
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
                    auto signal = QDBusMessage::createTargetedSignal(subscriber, path, interface,
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
                         v.lastPingAt ? millisecondsSinceEpoch(*v.lastPingAt) : qlonglong(0)}});
    return list;
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
        return fail("InvalidInterval",
                    QStringLiteral("not an interval Vornix accepts: %1 s").arg(seconds));
    if (state_)
        state_->updateInterval(seconds);
}

void DBusControl::SetVolumeWatched(const QString& id, bool watched) {
    if (!state_)
        return;
    const auto volume = state_->volumeMonitor().volume(id.toStdString());
    if (!volume)
        return fail("UnknownVolume", QStringLiteral("no volume with the id %1").arg(id));
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
        sendErrorReply(interface + QStringLiteral(".Error.") + QString::fromLatin1(name), message);
}

void DBusControl::announce(const char* property, const QVariant& value) {
    auto signal =
        QDBusMessage::createSignal(path, QStringLiteral("org.freedesktop.DBus.Properties"),
                                   QStringLiteral("PropertiesChanged"));
    signal << interface << QVariantMap{{QString::fromLatin1(property), value}} << QStringList();
    bus_.send(signal);
}

// ---- the command line's side

namespace {

QString lastPingText(qlonglong ms) {
    return ms ? QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
              : QStringLiteral("-");
}

void printTable(const QVariantMap& all, const QList<QVariantMap>& volumes, std::FILE* out) {
    std::fprintf(out, "Keeping drives awake: %s, every %g s\n",
                 all.value(QStringLiteral("KeepingAwake")).toBool() ? "on" : "off",
                 all.value(QStringLiteral("Interval")).toDouble());
    const QStringList heads{QStringLiteral("NAME"), QStringLiteral("STATUS"),
                            QStringLiteral("WATCHED"), QStringLiteral("MOUNTED AT"),
                            QStringLiteral("LAST PING")};
    QList<QStringList> rows{heads};
    for (const auto& v : volumes) {
        const auto mounted = v.value(QStringLiteral("mounted")).toBool();
        // A label may hold terminal escapes: shown as visible stand-ins, never sent as they are.
        rows.append({QString::fromStdString(
                         displayName(v.value(QStringLiteral("name")).toString().toStdString())),
                     v.value(QStringLiteral("status")).toString(),
                     v.value(QStringLiteral("watched")).toBool() ? QStringLiteral("yes")
                                                                 : QStringLiteral("no"),
                     mounted ? v.value(QStringLiteral("mountPath")).toString()
                             : QStringLiteral("(not mounted)"),
                     lastPingText(v.value(QStringLiteral("lastPing")).toLongLong())});
    }
    const auto width = [](const QString& cell) { // the isolates around a name take no room
        return cell.size() - cell.count(QChar(0x2068)) - cell.count(QChar(0x2069));
    };
    QList<qsizetype> widths(heads.size(), 0);
    for (const auto& row : rows)
        for (qsizetype i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], width(row[i]));
    for (const auto& row : rows) {
        QString line;
        for (qsizetype i = 0; i < row.size(); ++i)
            line += row[i] + (i + 1 < row.size()
                                  ? QString(widths[i] - width(row[i]) + 2, QLatin1Char(' '))
                                  : QString());
        std::fprintf(out, "%s\n", line.toUtf8().constData());
    }
}

void printJson(const QVariantMap& all, const QList<QVariantMap>& volumes, std::FILE* out) {
    QJsonArray list;
    for (const auto& v : volumes)
        list.append(QJsonObject::fromVariantMap(v));
    const QJsonObject document{
        {QStringLiteral("keepingAwake"), all.value(QStringLiteral("KeepingAwake")).toBool()},
        {QStringLiteral("interval"), all.value(QStringLiteral("Interval")).toDouble()},
        {QStringLiteral("volumes"), list}};
    std::fprintf(out, "%s\n", QJsonDocument(document).toJson(QJsonDocument::Compact).constData());
}

class EventPrinter : public QObject {
    Q_OBJECT
public:
    explicit EventPrinter(std::FILE* out) : out_(out) {}

public Q_SLOTS:
    void print(const QString& kind, const QString& volume, const QString& detail, qlonglong time) {
        // Names and details come from drives and file systems: never sent to a terminal as they
        // are.
        const auto shown = [](const QString& text) {
            return text.isEmpty() ? std::string() : displayName(text.toStdString());
        };
        std::fprintf(out_, "%s\t%s\t%s\t%s\n",
                     qPrintable(QDateTime::fromMSecsSinceEpoch(time).toString(Qt::ISODate)),
                     qPrintable(kind), shown(volume).c_str(), shown(detail).c_str());
        std::fflush(out_);
    }

private:
    std::FILE* out_;
};

int followEvents(QDBusConnection bus, std::FILE* out, std::FILE* err) {
    EventPrinter printer(out);
    bus.connect(service, path, interface, QStringLiteral("Event"), &printer,
                SLOT(print(QString, QString, QString, qlonglong)));
    QDBusServiceWatcher ending(service, bus, QDBusServiceWatcher::WatchForUnregistration);
    QObject::connect(&ending, &QDBusServiceWatcher::serviceUnregistered, [err] {
        std::fputs("vornix: Vornix stopped\n", err);
        QCoreApplication::exit(1);
    });
    const auto reply = bus.call(
        QDBusMessage::createMethodCall(service, path, interface, QStringLiteral("Subscribe")),
        QDBus::Block, 10000);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        std::fprintf(err, "vornix: the running Vornix did not answer: %s\n",
                     qPrintable(reply.errorMessage()));
        return 1;
    }
    for (const auto& e : qdbus_cast<QList<QVariantMap>>(reply.arguments().value(0)))
        printer.print(e.value(QStringLiteral("kind")).toString(),
                      e.value(QStringLiteral("volume")).toString(),
                      e.value(QStringLiteral("detail")).toString(),
                      e.value(QStringLiteral("time")).toLongLong());
    return QCoreApplication::exec();
}

} // namespace

int runControlCommand(ControlCommand command, std::FILE* out, std::FILE* err) {
    auto bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        std::fprintf(err, "vornix: no session bus: %s\n", qPrintable(bus.lastError().message()));
        return 1;
    }
    if (!bus.interface()->isServiceRegistered(service)) {
        std::fprintf(err, "vornix: Vornix is not running (no %s on the session bus)\n",
                     SingleInstance::serviceName);
        return 1;
    }
    if (command == ControlCommand::events)
        return followEvents(bus, out, err);
    QDBusMessage call;
    if (command == ControlCommand::on || command == ControlCommand::off)
        call = QDBusMessage::createMethodCall(service, path, interface,
                                              QStringLiteral("SetKeepingAwake"))
               << (command == ControlCommand::on);
    else
        call = QDBusMessage::createMethodCall(service, path,
                                              QStringLiteral("org.freedesktop.DBus.Properties"),
                                              QStringLiteral("GetAll"))
               << interface;
    const QDBusMessage reply = bus.call(call, QDBus::Block, 10000);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        std::fprintf(err, "vornix: the running Vornix did not answer: %s\n",
                     qPrintable(reply.errorMessage()));
        return 1;
    }
    if (command == ControlCommand::on || command == ControlCommand::off) {
        std::fprintf(out, "Keeping drives awake: %s\n",
                     command == ControlCommand::on ? "on" : "off");
        return 0;
    }
    const auto all = qdbus_cast<QVariantMap>(reply.arguments().value(0));
    const auto volumes = qdbus_cast<QList<QVariantMap>>(all.value(QStringLiteral("Volumes")));
    if (command == ControlCommand::statusJson)
        printJson(all, volumes, out);
    else
        printTable(all, volumes, out);
    return 0;
}

} // namespace vornix::linux_platform

#include "dbus_control.moc"
