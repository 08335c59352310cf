// The volume system and monitor on the real kernel, seen from outside: every byte read on stdin
// ("s": as things are, "p": after reading pending changes at once) is answered with one JSON
// line: the monitor's rows, the events recorded (oldest first), the notifications posted and
// the paths the start-up scan would list. Driven by volume_system_check.py.
//
// Usage: vornix-volume-watch <fstab>

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
    linux_platform::SystemWallClock clock;
    testing::RecordingSystemLog systemLog;
    testing::RecordingNotifier notifier;
    EventLog log(clock, systemLog, notifier);
    linux_platform::LinuxVolumeSystem system(
        {linux_platform::BlockDeviceMonitor::Source::kernel, argc > 1 ? argv[1] : "/etc/fstab"});
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
        QJsonArray rows, events, scan;
        for (const auto& v : monitor.volumes.get())
            rows.append(QJsonObject{
                {"id", text(v.id)},
                {"name", text(v.name)},
                {"kernel", text(v.kernelName)},
                {"device", v.deviceNumber ? QString::asprintf("%u:%u", v.deviceNumber->major,
                                                              v.deviceNumber->minor)
                                          : QString()},
                {"usb", v.connectionProtocol == ConnectionBus::usb},
                {"mounted", v.isCurrentlyMounted},
                {"path", text(v.mountPath)}});
        for (auto it = log.events.get().rbegin(); it != log.events.get().rend(); ++it)
            events.append(QJsonArray{static_cast<int>(it->kind), text(it->volumeName)});
        for (const auto& v : system.mountedVolumes().value_or(std::vector<MountedVolume>{}))
            scan.append(text(v.mountPath));
        const QJsonObject state{{"volumes", rows},
                                {"events", events},
                                {"scan", scan},
                                {"notified", static_cast<int>(notifier.posted.size())}};
        std::printf("%s\n", QJsonDocument(state).toJson(QJsonDocument::Compact).constData());
        std::fflush(stdout);
    });
    return QCoreApplication::exec();
}
