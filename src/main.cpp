// The vornix program: one instance per user, a tray icon and the panel it opens, or the same
// service without a display (--headless); and the command line that talks to it.

#include "platform/linux/control_client.h"
#include "platform/linux/dbus_control.h"
#include "platform/linux/diagnostics.h"
#include "platform/linux/linux_platform.h"
#include "platform/linux/portal_color_scheme.h"
#include "platform/linux/single_instance.h"
#include "platform/linux/unix_signals.h"
#include "platform/linux/wayland_title_bar.h"
#include "platform/linux/x11_window_state.h"
#include "ui/color_scheme.h"
#include "ui/tray_application.h"

#include <QApplication>
#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QSystemTrayIcon>
#include <QTranslator>

#include <QDBusConnection>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>

namespace {

using vornix::linux_platform::ControlCommand;
using vornix::linux_platform::DBusControl;
using vornix::linux_platform::SingleInstance;

constexpr const char* usage = R"(Usage: vornix [option]
Keeps external drives awake and tells you when one disconnects unexpectedly.

With no option, starts in the system tray (or as a small window where there is none).

Options:
  --headless       run without a display or tray, keeping drives awake from the start
  --status         print the running instance's volumes and their states as a table
  --status --json  the same as JSON
  --on, --off      switch keeping drives awake on or off in the running instance
  --events         print the running instance's activity so far, then as it happens
  --version        print the version and exit
  -h, --help       print this help and exit
)";

enum class Mode { tray, headless, help, version, control };

struct CommandLine {
    Mode mode = Mode::tray;
    ControlCommand command = ControlCommand::status;
    std::string fault; // why the command line is refused; empty when it is not
};

// Read before any Qt application exists: --help and --version must not touch the display.
CommandLine parse(int argc, char* argv[]) {
    CommandLine line;
    bool status = false, json = false;
    std::optional<std::string_view> chosen;
    const auto choose = [&](std::string_view option, Mode mode) {
        if (chosen && *chosen != option)
            line.fault = "these options cannot be combined";
        chosen = option;
        line.mode = mode;
    };
    for (int i = 1; i < argc && line.fault.empty(); ++i) {
        const std::string_view arg = argv[i];
        if (arg == "-h" || arg == "--help")
            choose(arg, Mode::help);
        else if (arg == "--version")
            choose(arg, Mode::version);
        else if (arg == "--headless")
            choose(arg, Mode::headless);
        else if (arg == "--status")
            status = true, choose(arg, Mode::control);
        else if (arg == "--on" || arg == "--off")
            choose(arg, Mode::control),
                line.command = arg == "--on" ? ControlCommand::on : ControlCommand::off;
        else if (arg == "--events")
            choose(arg, Mode::control), line.command = ControlCommand::events;
        else if (arg == "--json")
            json = true;
        else
            line.fault = "unknown option '" + std::string(arg) + "'";
    }
    if (line.fault.empty() && json && !status)
        line.fault = "--json goes with --status";
    if (status)
        line.command = json ? ControlCommand::statusJson : ControlCommand::status;
    return line;
}

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

void describe() {
    QCoreApplication::setApplicationName(QStringLiteral("Vornix"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VORNIX_VERSION));
}

// The same engine, volumes, settings and journal lines as the tray, with no display: keeping
// drives awake from the start, switched and read over the bus.
int runHeadless(int argc, char* argv[]) {
    qInstallMessageHandler(vornix::linux_platform::sendQtMessageToJournal);
    QCoreApplication application(argc, argv);
    describe();
    DBusControl control(QDBusConnection::sessionBus());
    SingleInstance instance(QDBusConnection::sessionBus(), SingleInstance::defaultLockPath(),
                            control);
    if (!instance.claim(false)) {
        std::fputs("vornix: another Vornix is already running for this user\n", stderr);
        return 1;
    }
    vornix::linux_platform::UnixSignalWatcher signalWatcher({SIGTERM, SIGINT, SIGHUP});
    QObject::connect(&signalWatcher, &vornix::linux_platform::UnixSignalWatcher::received,
                     &application, [] { QCoreApplication::quit(); });

    vornix::linux_platform::LinuxPlatform platform({.desktopSession = false});
    vornix::AppState state(platform.ports());
    control.attach(state);
    QObject::connect(&application, &QCoreApplication::aboutToQuit, &application,
                     [&state] { state.shutdown(); });
    state.toggleGlobalActive();
    return QCoreApplication::exec();
}

int runTray(int argc, char* argv[]) {
    if (!hasDisplay()) {
        std::fputs("vornix: no graphical session (neither DISPLAY nor WAYLAND_DISPLAY is set)\n",
                   stderr);
        return 1;
    }
    qInstallMessageHandler(vornix::linux_platform::sendQtMessageToJournal);
    const QtMessageHandler previous = qInstallMessageHandler(whileOpeningTheDisplay);
    QApplication application(argc, argv);
    qInstallMessageHandler(previous);
    for (const auto& message : displayMessages)
        qWarning().noquote() << message;
    describe();
    QApplication::setApplicationDisplayName(QStringLiteral("Vornix"));
    QApplication::setDesktopFileName(QStringLiteral(VORNIX_APP_ID));
    QApplication::setQuitOnLastWindowClosed(false);

    QTranslator translator;
    if (translator.load(QLocale(), QStringLiteral("vornix"), QStringLiteral("_"),
                        QStringLiteral(":/i18n")))
        QApplication::installTranslator(&translator);
    vornix::translateUserTextsWithQt();

    DBusControl control(QDBusConnection::sessionBus());
    SingleInstance instance(QDBusConnection::sessionBus(), SingleInstance::defaultLockPath(),
                            control);
    if (!instance.claim())
        return 0; // the running instance shows its panel

    vornix::linux_platform::UnixSignalWatcher signalWatcher({SIGTERM, SIGINT, SIGHUP});
    QObject::connect(&signalWatcher, &vornix::linux_platform::UnixSignalWatcher::received,
                     &application, [] { QApplication::quit(); });

    // Dark where the desktop asks for it, from the portal's first answer on.
    using vornix::linux_platform::PortalColorScheme;
    PortalColorScheme colorScheme(QDBusConnection::sessionBus());
    QObject::connect(
        &colorScheme, &PortalColorScheme::changed, &application,
        [](PortalColorScheme::Scheme scheme) {
            if (vornix::preferDarkPalette(scheme == PortalColorScheme::Scheme::preferDark))
                vornix::linux_platform::redrawTitleBars();
        });

    vornix::linux_platform::LinuxPlatform platform;
    vornix::TrayApplication app(
        platform.ports(), {.trayAvailable = QSystemTrayIcon::isSystemTrayAvailable(),
                           .watchTrayHosts = true,
                           .quit = [] { QApplication::quit(); },
                           .keepOffTaskbars = vornix::linux_platform::keepOffTaskbars,
                           .keepFromMaximising = vornix::linux_platform::shieldMaximiseButton});
    control.attach(app.appState());
    QObject::connect(&control, &DBusControl::showRequested, &app, [&app] { app.showPanel(); });
    QObject::connect(&application, &QCoreApplication::aboutToQuit, &app,
                     [&app] { app.appState().shutdown(); });
    if (!app.inTray())
        app.showPanel();

    return QApplication::exec();
}

} // namespace

int main(int argc, char* argv[]) {
    const CommandLine line = parse(argc, argv);
    if (!line.fault.empty()) {
        std::fprintf(stderr, "vornix: %s\n%s", line.fault.c_str(), usage);
        return 2;
    }
    switch (line.mode) {
    case Mode::help:
        std::fputs(usage, stdout);
        return 0;
    case Mode::version:
        std::printf("vornix %s\n", VORNIX_VERSION);
        return 0;
    case Mode::control: {
        QCoreApplication application(argc, argv);
        return vornix::linux_platform::runControlCommand(line.command, stdout, stderr);
    }
    case Mode::headless:
        return runHeadless(argc, argv);
    case Mode::tray:
        break;
    }
    return runTray(argc, argv);
}
