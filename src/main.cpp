// The vornix program: one instance per user, a tray icon, and the panel it opens.

#include "platform/linux/linux_platform.h"
#include "platform/linux/unix_signals.h"
#include "ui/single_instance.h"
#include "ui/tray_icons.h"
#include "ui/vornix_app.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QSystemTrayIcon>
#include <QTranslator>

#include <csignal>

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vornix"));
    QApplication::setApplicationDisplayName(QStringLiteral("Vornix"));
    QApplication::setApplicationVersion(QStringLiteral("1.0"));
    QApplication::setDesktopFileName(QStringLiteral(VORNIX_APP_ID));
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(vornix::applicationIcon());

    QTranslator translator;
    if (translator.load(QLocale(), QStringLiteral("vornix"), QStringLiteral("_"),
                        QStringLiteral(":/i18n")))
        QApplication::installTranslator(&translator);

    vornix::SingleInstance instance(vornix::SingleInstance::defaultName());
    if (!instance.claim())
        return 0; // the running instance shows its panel

    vornix::linux_platform::UnixSignalWatcher signalWatcher({SIGTERM, SIGINT, SIGHUP});
    QObject::connect(&signalWatcher, &vornix::linux_platform::UnixSignalWatcher::received,
                     &application, [] { QApplication::quit(); });

    vornix::linux_platform::LinuxPlatform platform;
    vornix::VornixApp app(platform.ports(),
                          {.trayAvailable = QSystemTrayIcon::isSystemTrayAvailable(),
                           .quit = [] { QApplication::quit(); }});
    QObject::connect(&instance, &vornix::SingleInstance::showRequested, &app,
                     [&app] { app.showPanel(); });
    QObject::connect(&application, &QCoreApplication::aboutToQuit, &app,
                     [&app] { app.delegate().applicationWillTerminate(); });
    if (!app.tray())
        app.showPanel();

    const int status = QApplication::exec();
    return status;
}
