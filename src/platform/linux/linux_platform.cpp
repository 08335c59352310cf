#include "platform/linux/linux_platform.h"

#include <QDBusConnection>

namespace vornix::linux_platform {

LinuxPlatform::LinuxPlatform() : LinuxPlatform(Options{}) {}

LinuxPlatform::LinuxPlatform(Options options)
    : systemLog_(VORNIX_APP_ID, "events"),
      notifier_(QDBusConnection::sessionBus(), {.iconName = QStringLiteral(VORNIX_APP_ID),
                                                .desktopEntry = QStringLiteral(VORNIX_APP_ID)}),
      inhibitor_(QDBusConnection::sessionBus(), QDBusConnection::systemBus(),
                 {.applicationID = QStringLiteral(VORNIX_APP_ID),
                  .applicationName = QStringLiteral("Vornix"),
                  .desktopSession = options.desktopSession}),
      sleepSignal_(QDBusConnection::systemBus()), powerSupply_(QDBusConnection::systemBus()),
      drives_(QDBusConnection::systemBus()), autostart_(VORNIX_APP_ID),
      settings_(options.settingsPath), volumes_(std::move(options.volumes)), workers_(mainQueue_) {}

AppPorts LinuxPlatform::ports() {
    return AppPorts{
        clock_,
        systemLog_,
        notifier_,
        inhibitor_,
        sleepSignal_,
        powerSupply_,
        autostart_,
        settings_,
        volumes_.ports(),
        EnginePorts{mainQueue_, clock_, workers_, pingFileSystem_, deviceCounters_, &drives_},
        &drives_};
}

} // namespace vornix::linux_platform
