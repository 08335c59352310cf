// The program's own wiring, end to end: the real adapters on a private session bus, a temporary
// configuration and an empty media root. Switching keep-awake on and off and quitting must leave
// no inhibitor, no timer and no thread behind.

#include "platform/linux/linux_platform.h"

#include "private_bus.h"
#include "qt_spin.h"
#include "wait_for.h"

#include <QDBusConnection>
#include <QDir>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>

namespace vornix::linux_platform {
namespace {

using vornix::testing::PrivateBus;
using vornix::testing::processThreads;
using vornix::testing::spinUntil;

// A power manager that answers on a thread of its own, since the program asks it synchronously.
class PowerManagementStandIn : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.PowerManagement.Inhibit")
public:
    std::atomic<int> held{0};
    std::atomic<int> granted{0};

public slots:
    uint Inhibit(const QString&, const QString& reason) {
        if (reason == QStringLiteral("Vornix is keeping external drives awake"))
            ++held;
        return static_cast<uint>(++granted);
    }
    void UnInhibit(uint) { --held; }
};

TEST(CompositionRoot, KeepAwakeOnOffAndQuitLeaveNothingRunning) {
    PrivateBus session;
    if (!session.available())
        GTEST_SKIP() << "no private D-Bus: " << session.whyNot();
    // The program finds its buses through the environment, as it does on a desktop.
    setenv("DBUS_SESSION_BUS_ADDRESS", session.address().c_str(), 1);
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/system_bus_socket", 1);
    QTemporaryDir config, media;
    setenv("XDG_CONFIG_HOME", config.path().toUtf8().constData(), 1);
    vornix::testing::qtApp();

    QThread serviceThread;
    serviceThread.start();
    auto standIn = std::make_unique<PowerManagementStandIn>();
    standIn->moveToThread(&serviceThread);
    bool registered = false;
    QMetaObject::invokeMethod(
        standIn.get(),
        [&] {
            auto bus = QDBusConnection::connectToBus(QString::fromStdString(session.address()),
                                                     QStringLiteral("stand-in"));
            registered =
                bus.registerObject(QStringLiteral("/org/freedesktop/PowerManagement/Inhibit"),
                                   standIn.get(), QDBusConnection::ExportAllSlots) &&
                bus.registerService(QStringLiteral("org.freedesktop.PowerManagement"));
        },
        Qt::BlockingQueuedConnection);
    ASSERT_TRUE(registered);

    const std::size_t threadsBefore = processThreads();
    {
        LinuxPlatform platform({.settingsPath = config.path() + "/vornix/vornix.conf",
                                .volumes = {.mediaRoots = {media.path().toStdString() + "/"}}});
        AppState app(platform.ports());
        EXPECT_TRUE(app.volumeMonitor().volumes.get().empty());

        app.toggleGlobalActive();
        EXPECT_TRUE(app.powerAssertionManager().isAsserted());
        EXPECT_EQ(standIn->held.load(), 1);
        EXPECT_TRUE(app.vornix().isRunning());
        app.updateInterval(30);

        app.toggleGlobalActive();
        // Withdrawals are sent without waiting for an answer.
        EXPECT_TRUE(spinUntil([&] { return standIn->held.load() == 0; }));
        EXPECT_FALSE(app.vornix().isRunning());

        app.toggleGlobalActive(); // on again, then quit the way the program does
        app.shutdown();
        app.shutdown();
        EXPECT_TRUE(spinUntil([&] { return standIn->held.load() == 0; }));
        EXPECT_FALSE(app.vornix().isRunning());
        EXPECT_EQ(app.eventLog().events.get().size(), 3u);
    }
    // Every worker the program started has ended.
    EXPECT_TRUE(spinUntil([&] { return processThreads() <= threadsBefore; }, 5000))
        << processThreads() << " threads, " << threadsBefore << " before";
    EXPECT_EQ(standIn->granted.load(), 2);

    // What it persisted is read back by the next run.
    QSettings stored(config.path() + "/vornix/vornix.conf", QSettings::IniFormat);
    EXPECT_EQ(stored.value("keepAliveInterval").toDouble(), 30.0);

    QMetaObject::invokeMethod(
        standIn.get(),
        [&] {
            QDBusConnection::disconnectFromBus(QStringLiteral("stand-in"));
            standIn.reset();
        },
        Qt::BlockingQueuedConnection);
    serviceThread.quit();
    serviceThread.wait();
}

} // namespace
} // namespace vornix::linux_platform

#include "composition_root_test.moc"
