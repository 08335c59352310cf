// The volume system and monitor on the real kernel, observed from outside: each line read on
// stdin ("s": as is, "p": after reading pending changes now) is answered with one JSON line of
// the monitor's rows, the events recorded (oldest first), the notifications posted, the paths the
// start-up scan would list and the mount-table wake-ups. Driven by volume_system_check.py.
//
// Usage: vornix-volume-watch <media root> <fstab>

#include "platform/linux/linux_volume_system.h"
#include "platform/linux/qt_main_queue.h"
#include "volumes/volume_monitor.h"

#include "log_fakes.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>

#include <unistd.h>

#include <cstdio>

using namespace vornix;

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 3)
        return 2;
    linux_platform::SystemWallClock clock;
    testing::RecordingSystemLog systemLog;
    testing::RecordingNotifier notifier;
    EventLog log(clock, systemLog, notifier);
    linux_platform::LinuxVolumeSystem system(
        {.mediaRoots = {argv[1]},
         .blockEvents = linux_platform::BlockDeviceMonitor::Source::kernel,
         .fstab = argv[2]});
    VolumeMonitor monitor(log, clock, system.ports());
    const auto text = [](const std::optional<std::string>& s) {
        return s ? QJsonValue(QString::fromStdString(*s)) : QJsonValue();
    };
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char command = 0;
        if (read(STDIN_FILENO, &command, 1) != 1)
            return QCoreApplication::quit();
        if (command == 'p')
            system.processPendingChanges();
        if (command != 's' && command != 'p')
            return;
        QJsonArray rows, events, scan;
        for (const auto& v : monitor.volumes.get())
            rows.append(QJsonObject{{"id", text(v.id)}, {"name", text(v.name)},
                                    {"bsd", text(v.bsdName)}, {"protocol", text(v.connectionProtocol)},
                                    {"mounted", v.isCurrentlyMounted}, {"path", text(v.mountPath)}});
        for (auto it = log.events.get().rbegin(); it != log.events.get().rend(); ++it)
            events.append(QJsonArray{static_cast<int>(it->kind), text(it->volumeName)});
        for (const auto& v : system.mountedVolumes().value_or(std::vector<MountedVolume>{}))
            scan.append(text(v.mountPath));
        const auto wakeUps = static_cast<qint64>(system.counters().mountTableWakeUps);
        const QJsonObject state{{"volumes", rows},
                                {"events", events},
                                {"notified", static_cast<int>(notifier.posted.size())},
                                {"scan", scan},
                                {"wakeups", wakeUps}};
        std::printf("%s\n", QJsonDocument(state).toJson(QJsonDocument::Compact).constData());
        std::fflush(stdout);
    });
    return QCoreApplication::exec();
}
