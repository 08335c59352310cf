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

#include <QDBusConnection>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

// What Qt says while it connects to the display, held back: if the connection fails it ends
// the program with a cascade of messages and a core dump, and the user gets one line instead.
QStringList displayMessages;

void whileOpeningTheDisplay(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type != QtFatalMsg) {
        displayMessages << message;
        return;
    }
    QString reason = message;
    for (const auto& earlier : displayMessages)
        if (earlier.contains(QStringLiteral("display"), Qt::CaseInsensitive))
            reason = earlier;
    std::fprintf(stderr, "vornix: cannot open the display: %s\n", qPrintable(reason.simplified()));
    std::fflush(stderr);
    ::_exit(1);
}

bool hasDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        if (const char* value = std::getenv(name); value && *value)
            return true;
    return false;
}

} // namespace

int main(int argc, char* argv[]) {
    if (!hasDisplay()) {
        std::fputs("vornix: no graphical session (neither DISPLAY nor WAYLAND_DISPLAY is set)\n",
                   stderr);
        return 1;
    }
    const QtMessageHandler previous = qInstallMessageHandler(whileOpeningTheDisplay);
    QApplication application(argc, argv);
    qInstallMessageHandler(previous);
    for (const auto& message : displayMessages)
        qWarning().noquote() << message;
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

    vornix::SingleInstance instance(QDBusConnection::sessionBus(),
                                    vornix::SingleInstance::defaultLockPath());
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
