// Start-up against the real program: without a display, and as a second instance.

#include "platform/linux/dbus_control.h"
#include "platform/linux/single_instance.h"

#include "private_bus.h"
#include "qt_spin.h"

#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace vornix {
namespace {

QTemporaryDir config;

/// The program with an unwritable runtime folder, no system bus and only the given display.
std::unique_ptr<QProcess> start(const QStringList& set) {
    auto env = QProcessEnvironment::systemEnvironment();
    for (const auto& pair : QStringList{"DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM=",
                                        "XDG_CONFIG_HOME=" + config.path(),
                                        "XDG_RUNTIME_DIR=/proc/vornix-cannot-write-here",
                                        "DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent"} +
                                set)
        env.insert(pair.section('=', 0, 0), pair.section('=', 1));
    auto process = std::make_unique<QProcess>();
    process->setProcessEnvironment(env);
    process->start(VORNIX_PROGRAM);
    return process;
}

TEST(Startup, WithoutADisplayOneLineOnStderrAndExitOne) {
    for (const QStringList& set : {QStringList{}, QStringList{"DISPLAY=:99"}}) {
        const auto vornix = start(set + QStringList{"DBUS_SESSION_BUS_ADDRESS=x"});
        ASSERT_TRUE(vornix->waitForFinished(20000));
        EXPECT_EQ(vornix->exitStatus() == QProcess::NormalExit ? vornix->exitCode() : -1, 1);
        const QString err = QString::fromUtf8(vornix->readAllStandardError()).trimmed();
        EXPECT_TRUE(err.startsWith("vornix: ") && !err.contains('\n')) << err.toStdString();
    }
}

TEST(Startup, ASecondStartIsRefusedAndTheFirstShowsItsPanel) {
    testing::qtApp();
    testing::PrivateBus bus;
    if (!bus.available())
        GTEST_SKIP() << "no private D-Bus: " << bus.whyNot();
    const QString address = QString::fromStdString(bus.address());
    const auto firstBus = QDBusConnection::connectToBus(address, "first");
    linux_platform::DBusControl control(firstBus);
    linux_platform::SingleInstance first(firstBus, config.path() + "/l", control);
    int shown = 0;
    QObject::connect(&control, &linux_platform::DBusControl::showRequested, [&] { ++shown; });
    ASSERT_TRUE(first.claim());
    const auto second = start({"QT_QPA_PLATFORM=offscreen", "DBUS_SESSION_BUS_ADDRESS=" + address});
    EXPECT_TRUE(testing::spinUntil([&] { return second->state() == QProcess::NotRunning; }, 20000));
    EXPECT_EQ(second->exitCode(), 0);
    EXPECT_EQ(shown, 1);

    // Without a bus the lock file holds the line.
    const auto noBus = [] { return QDBusConnection::connectToBus("unix:path=/nonexistent", "x"); };
    linux_platform::SingleInstance holder(noBus(), config.path() + "/lock", control);
    EXPECT_TRUE(holder.claim());
    EXPECT_FALSE(linux_platform::SingleInstance(noBus(), config.path() + "/lock", control).claim());
}

} // namespace
} // namespace vornix
