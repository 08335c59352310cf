#include "platform/linux/dbus_power_signals.h"

#include "private_bus.h"
#include "qt_spin.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QProcess>

#include <gtest/gtest.h>

#include <memory>

namespace vornix::linux_platform {
namespace {

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
