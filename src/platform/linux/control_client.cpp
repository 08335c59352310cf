#include "platform/linux/control_client.h"

#include "log/log_event.h"
#include "platform/linux/single_instance.h"
#include "vornix1_proxy.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusServiceWatcher>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <string>

namespace vornix::linux_platform {

namespace {

QString lastPingText(qlonglong ms) {
    return ms ? QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
              : QStringLiteral("-");
}

/// The properties, as --status shows them.
struct Status {
    bool keepingAwake;
    double interval;
    QList<QVariantMap> volumes;
    bool sleepPrevented;
    QVariantMap sleepPrevention;
};

/// What keeps the machine from idle sleep, after the switch's state on the first line.
std::string sleepText(const QVariantMap& prevention) {
    const QString state = prevention.value(QStringLiteral("state")).toString();
    // A service's error text is not ours: shown as displayName() shows names.
    const std::string detail =
        displayName(prevention.value(QStringLiteral("detail")).toString().toStdString());
    if (state == QStringLiteral("off"))
        return {};
    if (state == QStringLiteral("asking"))
        return "; sleep prevention: asking";
    if (state == QStringLiteral("none") || state == QStringLiteral("partial"))
        return "; the computer may still go to sleep: " + detail;
    return "; sleep prevented by " + detail;
}

void printTable(const Status& status, std::FILE* out) {
    std::fprintf(out, "Keeping drives awake: %s, every %g s%s\n",
                 status.keepingAwake ? "on" : "off", status.interval,
                 sleepText(status.sleepPrevention).c_str());
    const QStringList heads{QStringLiteral("NAME"),       QStringLiteral("STATUS"),
                            QStringLiteral("POWER"),      QStringLiteral("WATCHED"),
                            QStringLiteral("MOUNTED AT"), QStringLiteral("LAST PING")};
    QList<QStringList> rows{heads};
    for (const auto& v : status.volumes) {
        const auto mounted = v.value(QStringLiteral("mounted")).toBool();
        // A label may hold terminal escapes: shown as visible stand-ins, never sent as they are.
        rows.append({QString::fromStdString(
                         displayName(v.value(QStringLiteral("name")).toString().toStdString())),
                     v.value(QStringLiteral("status")).toString() +
                         (v.value(QStringLiteral("failing")).toBool() ? QStringLiteral(" (failing)")
                                                                      : QString()),
                     v.value(QStringLiteral("powerState")).toString(),
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

void printJson(const Status& status, std::FILE* out) {
    QJsonArray list;
    for (const auto& v : status.volumes)
        list.append(QJsonObject::fromVariantMap(v));
    const QJsonObject document{
        {QStringLiteral("keepingAwake"), status.keepingAwake},
        {QStringLiteral("interval"), status.interval},
        {QStringLiteral("volumes"), list},
        {QStringLiteral("sleepPrevented"), status.sleepPrevented},
        {QStringLiteral("sleepPrevention"), QJsonObject::fromVariantMap(status.sleepPrevention)}};
    std::fprintf(out, "%s\n", QJsonDocument(document).toJson(QJsonDocument::Compact).constData());
}

void printEvent(std::FILE* out, const QString& kind, const QString& volume, const QString& detail,
                qlonglong time) {
    // Names and details come from drives and file systems: never sent to a terminal as they are.
    const auto shown = [](const QString& text) {
        return text.isEmpty() ? std::string() : displayName(text.toStdString());
    };
    std::fprintf(out, "%s\t%s\t%s\t%s\n",
                 qPrintable(QDateTime::fromMSecsSinceEpoch(time).toString(Qt::ISODate)),
                 qPrintable(kind), shown(volume).c_str(), shown(detail).c_str());
    std::fflush(out);
}

int noAnswer(const QDBusError& error, std::FILE* err) {
    std::fprintf(err, "vornix: the running Vornix did not answer: %s\n",
                 qPrintable(error.message()));
    return 1;
}

int followEvents(Vornix1Proxy& vornix, std::FILE* out, std::FILE* err) {
    QObject::connect(&vornix, &Vornix1Proxy::Event, &vornix,
                     [out](const QString& kind, const QString& volume, const QString& detail,
                           qlonglong time) { printEvent(out, kind, volume, detail, time); });
    QDBusServiceWatcher ending(vornix.service(), vornix.connection(),
                               QDBusServiceWatcher::WatchForUnregistration);
    QObject::connect(&ending, &QDBusServiceWatcher::serviceUnregistered, [err] {
        std::fputs("vornix: Vornix stopped\n", err);
        QCoreApplication::exit(1);
    });
    auto log = vornix.Subscribe();
    log.waitForFinished();
    if (log.isError())
        return noAnswer(log.error(), err);
    for (const auto& e : log.value())
        printEvent(out, e.value(QStringLiteral("kind")).toString(),
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
    const QString service = QString::fromLatin1(SingleInstance::serviceName);
    if (!bus.interface()->isServiceRegistered(service)) {
        std::fprintf(err, "vornix: Vornix is not running (no %s on the session bus)\n",
                     SingleInstance::serviceName);
        return 1;
    }
    qDBusRegisterMetaType<QList<QVariantMap>>();
    Vornix1Proxy vornix(service, QString::fromLatin1(SingleInstance::objectPath), bus);
    vornix.setTimeout(10000);
    if (command == ControlCommand::events)
        return followEvents(vornix, out, err);
    if (command == ControlCommand::on || command == ControlCommand::off) {
        auto reply = vornix.SetKeepingAwake(command == ControlCommand::on);
        reply.waitForFinished();
        if (reply.isError())
            return noAnswer(reply.error(), err);
        std::fprintf(out, "Keeping drives awake: %s\n",
                     command == ControlCommand::on ? "on" : "off");
        return 0;
    }
    // One call per property: the first that fails is reported, and no value is shown.
    QDBusError failure;
    const auto checked = [&](auto value) {
        if (!failure.isValid())
            failure = vornix.lastError();
        return value;
    };
    const Status status{checked(vornix.keepingAwake()), checked(vornix.interval()),
                        checked(vornix.volumes()), checked(vornix.sleepPrevented()),
                        checked(vornix.sleepPrevention())};
    if (failure.isValid())
        return noAnswer(failure, err);
    if (command == ControlCommand::statusJson)
        printJson(status, out);
    else
        printTable(status, out);
    return 0;
}

} // namespace vornix::linux_platform
