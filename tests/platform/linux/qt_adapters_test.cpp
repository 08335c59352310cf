// The Qt adapters against a real event loop and a private D-Bus: the main queue, desktop
// notifications, the machine's power signals, the diagnostics' way to the journal, and the
// volume monitors that cannot be opened.

#include "platform/linux/dbus_desktop_notifier.h"
#include "platform/linux/dbus_power_signals.h"
#include "platform/linux/diagnostics.h"
#include "platform/linux/linux_volume_system.h"
#include "platform/linux/qt_main_queue.h"
#include "volumes/volume_monitor.h"

#include "log_fakes.h"
#include "private_bus.h"
#include "qt_spin.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QProcess>
#include <QVariantMap>

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace vornix::linux_platform {
namespace {

TEST(QtMainQueue, RunsPostsOnTheMainThreadLaterAndNeverACancelledTimer) {
    testing::qtApp();
    QtMainQueue queue;
    std::vector<std::thread::id> ran;
    std::thread([&] { queue.post([&] { ran.push_back(std::this_thread::get_id()); }); }).join();
    int ticks = 0, cancelledRan = 0;
    std::unique_ptr<RepeatingTimer> timer = queue.startRepeating(0.001, [&] {
        ++ticks;
        timer.reset(); // as an engine stopped by something its own tick did
    });
    queue.startRepeating(3600, [&] { ++cancelledRan; }).reset(); // before its first tick
    queue.postDelayed(0.01, [&] { ++cancelledRan; })->cancel();
    EXPECT_EQ(ran.size() + ticks, 0u); // nothing inside the calls
    bool later = false;
    auto probe = queue.postDelayed(0.05, [&] { later = true; });
    ASSERT_TRUE(testing::spinUntil([&] { return later; }));
    probe->cancel(); // after it ran: harmless
    EXPECT_EQ(ran, std::vector{std::this_thread::get_id()});
    EXPECT_EQ(ticks, 1);
    EXPECT_EQ(cancelledRan, 0);
    EXPECT_EQ(timerMilliseconds(-3.0), 0);
    EXPECT_EQ(timerMilliseconds(1e12), INT_MAX);
}

// Before any test starts a bus thread: a mount namespace needs a single-threaded process.
TEST(Diagnostics, QtMessagesReachTheJournalWithTheirCategoryAndPriority) {
    if (geteuid() != 0 || unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/run", "tmpfs", 0, nullptr) != 0)
        GTEST_SKIP() << "a journal socket of our own needs root and a mount namespace";
    sockaddr_un journal{.sun_family = AF_UNIX, .sun_path = "/run/systemd/journal/socket"};
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_TRUE(mkdir("/run/systemd", 0755) == 0 && mkdir("/run/systemd/journal", 0755) == 0 &&
                bind(fd, reinterpret_cast<sockaddr*>(&journal), sizeof journal) == 0);
    qInstallMessageHandler(sendQtMessageToJournal);
    qCDebug(volumesLog) << "not asked for";
    qCWarning(volumesLog) << "monitor unavailable";
    qCCritical(notifyLog).noquote() << "ünï";
    qInstallMessageHandler(nullptr);
    std::vector<std::string> received;
    char datagram[4096];
    for (ssize_t n; (n = recv(fd, datagram, sizeof datagram, MSG_DONTWAIT)) > 0;)
        received.emplace_back(datagram, static_cast<std::size_t>(n));
    close(fd);
    const auto entry = [](const char* message, int priority, const char* category) {
        return std::string("MESSAGE=") + message + "\nPRIORITY=" + std::to_string(priority) +
               "\nSYSLOG_IDENTIFIER=vornix\nQT_CATEGORY=" + category + "\n";
    };
    EXPECT_EQ(received, (std::vector{entry("monitor unavailable", 4, "vornix.volumes"),
                                     entry("ünï", 3, "vornix.notify")}));
}

TEST(DriveMonitoring, AMonitorThatCannotBeOpenedIsToldWithTheSystemsReason) {
    testing::qtApp();
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlimit exhausted{0, limit.rlim_max}; // every descriptor asked for is refused
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &exhausted), 0);
    LinuxVolumeSystem system;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    EXPECT_EQ(LinuxVolumeSystem().watchFailures(), std::vector<WatchFailure>{});

    SystemWallClock clock;
    testing::RecordingSystemLog systemLog;
    testing::RecordingNotifier notifier;
    EventLog log(clock, systemLog, notifier);
    VolumeMonitor monitor(log, clock, system.ports());
    const std::string head = "Drive monitoring unavailable \u2014 system ";
    ASSERT_GE(systemLog.lines.size(), 2u);
    EXPECT_EQ(std::vector(systemLog.lines.end() - 2, systemLog.lines.end()),
              (std::vector<std::pair<LogLevel, std::string>>{
                  {LogLevel::error, head + "Mount table monitor: Too many open files"},
                  {LogLevel::error, head + "Block device monitor: Too many open files"}}));
}

// A notification server of the test's own: records the body and hints Notify receives.
class Server : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QStringList capabilities{QStringLiteral("body")};
    QStringList calls; // app|replaces id|title|body|sound|category|desktop entry
public Q_SLOTS:
    QStringList GetCapabilities() { return capabilities; }
    uint Notify(const QString& app, uint replaces, const QString&, const QString& title,
                const QString& body, const QStringList&, const QVariantMap& hints, int) {
        calls << QStringList{app, QString::number(replaces), title, body}.join('|') + '|' +
                     hints.value("sound-name").toString() + '|' +
                     hints.value("category").toString() + '|' +
                     hints.value("desktop-entry").toString();
        return static_cast<uint>(calls.size());
    }
};

TEST(Notifier, ServerGetsExactTextsHintsAndEscapesOnlyWhereItRendersMarkup) {
    testing::qtApp();
    testing::PrivateBus bus;
    if (!bus.available())
        GTEST_SKIP() << "no private D-Bus: " << bus.whyNot();
    const auto connect = [&](const char* name) {
        return QDBusConnection::connectToBus(QString::fromStdString(bus.address()), name);
    };
    Server server;
    ASSERT_TRUE(connect("server").registerObject("/org/freedesktop/Notifications", &server,
                                                 QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(connect("server").registerService("org.freedesktop.Notifications"));
    DBusDesktopNotifier notifier(connect("client"), {.desktopEntry = "io.vornix.Vornix"});
    std::vector<NotificationOutcome::Status> fared;
    const auto watch =
        notifier.watchOutcomes([&](const NotificationOutcome& o) { fared.push_back(o.status); });
    const DesktopNotification note{"id", "Drive gone", "\"A & B <x>\" disappeared."};
    notifier.post(note); // a plain-text server gets it verbatim
    ASSERT_TRUE(testing::spinUntil([&] { return server.calls.size() == 1; }));
    server.capabilities << QStringLiteral("body-markup");
    notifier.post(note);
    ASSERT_TRUE(testing::spinUntil([&] { return fared.size() == 2; }));
    connect("server").unregisterService("org.freedesktop.Notifications");
    notifier.post(note);
    EXPECT_EQ(fared.size(), 2u); // never told inside post()
    ASSERT_TRUE(testing::spinUntil([&] { return fared.size() == 3; }));
    using S = NotificationOutcome::Status;
    EXPECT_EQ(fared, (std::vector{S::shown, S::shown, S::noServer}));
    const QString hints = "|device-removed|device.removed|io.vornix.Vornix";
    EXPECT_EQ(server.calls,
              (QStringList{"Vornix|0|Drive gone|\"A & B <x>\" disappeared." + hints,
                           "Vornix|0|Drive gone|\"A &amp; B &lt;x&gt;\" disappeared." + hints}));
}

/// python3-dbusmock's template `name`, serving on the test's bus as on the system bus.
std::shared_ptr<QProcess> mock(const QString& bus, const QString& name, const char* args = "{}") {
    auto process = std::shared_ptr<QProcess>(new QProcess, [](QProcess* p) {
        p->terminate();
        p->waitForFinished();
        delete p;
    });
    auto environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DBUS_SYSTEM_BUS_ADDRESS", bus);
    process->setProcessEnvironment(environment);
    process->start("/usr/bin/python3", {"-m", "dbusmock", "--system", "-t", name, "-p", args});
    return process;
}

TEST(PowerSignals, LogindSleepAndUPowerBatteryReachWatchersAndUPowerGoneMeansMains) {
    testing::qtApp();
    testing::PrivateBus bus;
    if (!bus.available())
        GTEST_SKIP() << "no private D-Bus: " << bus.whyNot();
    if (QProcess::execute("/usr/bin/python3", {"-c", "import dbusmock"}) != 0)
        GTEST_SKIP() << "python3-dbusmock is not installed";
    const QString address = QString::fromStdString(bus.address());
    QDBusConnection control = QDBusConnection::connectToBus(address, "control");
    const auto owned = [&](const char* name) {
        return control.interface()->isServiceRegistered(name).value();
    };
    const auto logind = mock(address, "logind");
    auto upower = mock(address, "upower", R"({"OnBattery": true})");
    ASSERT_TRUE(testing::spinUntil(
        [&] { return owned("org.freedesktop.login1") && owned("org.freedesktop.UPower"); }, 20000));

    QDBusConnection system = QDBusConnection::connectToBus(address, "system");
    LogindSleepSignal sleep(system);
    UPowerSupply supply(system);
    QStringList heard;
    const auto s1 = sleep.onPrepareForSleep([&](bool b) { heard << (b ? "sleep" : "wake"); });
    const auto s2 = supply.onBatteryChanged([&](bool b) { heard << (b ? "battery" : "mains"); });
    qsizetype told = 0;
    const auto next = [&] {
        return testing::spinUntil([&] { return heard.size() > told; }) && ++told;
    };
    const auto call = [&](const char* service, const char* path, const char* interface,
                          const char* method, const QVariantList& arguments) {
        auto message = QDBusMessage::createMethodCall(service, path, interface, method);
        message.setArguments(arguments);
        control.call(message);
        return next();
    };
    ASSERT_TRUE(next()); // the first answer
    for (bool start : {true, false})
        ASSERT_TRUE(
            call("org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.DBus.Mock",
                 "EmitSignal",
                 {"org.freedesktop.login1.Manager", "PrepareForSleep", "b", QVariantList{start}}));
    for (bool onBattery : {false, true})
        ASSERT_TRUE(call(
            "org.freedesktop.UPower", "/org/freedesktop/UPower", "org.freedesktop.DBus.Properties",
            "Set",
            {"org.freedesktop.UPower", "OnBattery", QVariant::fromValue(QDBusVariant(onBattery))}));
    upower.reset(); // UPower leaving the bus: mains; back again, asked again
    ASSERT_TRUE(next());
    upower = mock(address, "upower", R"({"OnBattery": true})");
    ASSERT_TRUE(next());
    EXPECT_EQ(heard,
              (QStringList{"battery", "sleep", "wake", "mains", "battery", "mains", "battery"}));
}

} // namespace
} // namespace vornix::linux_platform

#include "qt_adapters_test.moc"
