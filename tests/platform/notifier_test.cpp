#include "platform/linux/dbus_desktop_notifier.h"

#include "private_bus.h"
#include "qt_spin.h"

#include <QDBusConnection>
#include <QVariantMap>

#include <gtest/gtest.h>

namespace vornix::linux_platform {
namespace {

// A notification server of the test's own: records the body and hints Notify receives.
class Server : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QStringList capabilities{QStringLiteral("body")};
    QStringList calls; // app|replaces id|title|body|sound|category|desktop entry
public slots:
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
    const DesktopNotification note{"id", "Drive gone", "\"A & B <x>\" disappeared."};
    notifier.post(note); // a plain-text server gets it verbatim
    ASSERT_TRUE(testing::spinUntil([&] { return server.calls.size() == 1; }));
    server.capabilities << QStringLiteral("body-markup");
    notifier.post(note);
    ASSERT_TRUE(testing::spinUntil([&] { return server.calls.size() == 2; }));
    const QString hints = "|device-removed|device.removed|io.vornix.Vornix";
    EXPECT_EQ(server.calls,
              (QStringList{"Vornix|0|Drive gone|\"A & B <x>\" disappeared." + hints,
                           "Vornix|0|Drive gone|\"A &amp; B &lt;x&gt;\" disappeared." + hints}));
}

} // namespace
} // namespace vornix::linux_platform

#include "notifier_test.moc"
