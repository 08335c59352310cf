// Start-up against the real program: without a display, and as a second instance; and the
// first instance as scripts see it on the bus.

#include "platform/linux/dbus_control.h"
#include "platform/linux/single_instance.h"
#include "vornix1_proxy.h"

#include "app_harness.h"
#include "private_bus.h"
#include "qt_spin.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace vornix {
namespace {

using linux_platform::SingleInstance;

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

// What a connection that listens to every sender hears: signals, with the properties changed.
class Listener : public QObject {
    Q_OBJECT
public:
    QStringList heard;
public Q_SLOTS:
    void hear(const QDBusMessage& m) {
        const auto changed = qdbus_cast<QVariantMap>(m.arguments().value(1));
        heard << m.member() + (changed.isEmpty()
                                   ? ""
                                   : " " + changed.firstKey() + "=" + changed.first().toString());
    }
};

TEST(Startup, ASecondStartShowsTheFirstsPanelAndScriptsGetTheDescribedAnswers) {
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

    testing::AppHarness h;
    h.settings.raw["keepAliveInterval"] = 2.0; // below the floor: raised, and said
    h.plugIn("UUID-A", "Alpha", false);
    control.attach(h.create());
    const QString path = SingleInstance::objectPath, v1 = Vornix1Proxy::staticInterfaceName();
    Vornix1Proxy script(SingleInstance::serviceName, path,
                        QDBusConnection::connectToBus(address, "s"));
    QSignalSpy events(&script, &Vornix1Proxy::Event); // only the script subscribes
    Listener bystander;
    for (const char* signal : {"Event", "PropertiesChanged"})
        QDBusConnection::connectToBus(address, "b")
            .connect("", path, "", signal, &bystander, SLOT(hear(QDBusMessage)));
    const auto answer = [&](QDBusPendingCall call) {
        EXPECT_TRUE(testing::spinUntil([&] { return call.isFinished(); }));
        return call.isError() ? call.error().name() + ": " + call.error().message() : QString();
    };
    const auto log = script.Subscribe();
    answer(log);
    EXPECT_EQ(log.value().back().value("detail"), "2 s stored, 10 s used");
    const QString refused = v1 + ".Error.InvalidInterval: not an interval Vornix accepts: %1 s "
                                 "(whole seconds from 10 to 86400)";
    const QString noSuch =
        "org.freedesktop.DBus.Error.UnknownMethod: No such method '%1' in interface '" + v1 +
        "' at object path '" + path + "' (signature '%2')";
    const QString huge = QChar(0x1B) + QString("\U0001F600").repeated(1 << 18); // 1 MiB of UTF-8
    const std::vector<std::pair<QString, QString>> answers{
        // in this order
        {answer(script.SetInterval(12.5)), refused.arg("12.5")},
        {answer(script.SetInterval(9)), refused.arg("9")},
        {answer(script.asyncCallWithArgumentList("SetInterval", {"30"})),
         noSuch.arg("SetInterval", "s")},
        {answer(script.asyncCallWithArgumentList("SetVolumeWatched", {"UUID-A"})),
         noSuch.arg("SetVolumeWatched", "s")},
        {answer(script.SetVolumeWatched(huge, true)),
         v1 + ".Error.UnknownVolume: no volume with the id \u2068\u241B" + huge.mid(1, 126) +
             "\u2026\u2069"},
        {answer(script.SetInterval(12)), ""},
        {answer(script.SetVolumeWatched("UUID-A", false)), ""},
        {answer(script.SetKeepingAwake(true)), ""},
        {(h.power.answer({InhibitionAssurance::held, {InhibitionService::gnomeSession}, {}}), ""),
         ""},
        {answer(script.Unsubscribe()), ""},
        {answer(script.SetKeepingAwake(false)), ""}};
    for (const auto& [got, expected] : answers)
        EXPECT_EQ(got.toStdString(), expected.toStdString());
    // The last change is sent after any Event that was sent to all.
    EXPECT_TRUE(testing::spinUntil([&] { return bystander.heard.size() >= 6; }));
    EXPECT_EQ(bystander.heard,
              (QStringList{"PropertiesChanged Interval=12", "PropertiesChanged KeepingAwake=true",
                           "PropertiesChanged SleepPrevented=false", // asking
                           "PropertiesChanged SleepPrevented=true",
                           "PropertiesChanged KeepingAwake=false",
                           "PropertiesChanged SleepPrevented=false"}));
    EXPECT_EQ(events.size() == 1 ? events[0][0].toString() : "", "Sleep prevention started");
    EXPECT_FALSE(h.app->volumeMonitor().volume("UUID-A")->isWatched);

    // Without a bus the lock file holds the line.
    const auto noBus = [] { return QDBusConnection::connectToBus("unix:path=/nonexistent", "x"); };
    linux_platform::SingleInstance holder(noBus(), config.path() + "/lock", control);
    EXPECT_TRUE(holder.claim());
    EXPECT_FALSE(linux_platform::SingleInstance(noBus(), config.path() + "/lock", control).claim());
}

} // namespace
} // namespace vornix

#include "startup_test.moc"
