#include "platform/linux/dbus_desktop_notifier.h"

#include "private_bus.h"
#include "qt_spin.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QObject>
#include <QVariantMap>

#include <gtest/gtest.h>

namespace vornix::linux_platform {
namespace {

using vornix::testing::PrivateBus;
using vornix::testing::spinUntil;

// A notification server of the test's own: records what Notify receives.
class FakeNotificationServer : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QStringList capabilities{QStringLiteral("body")};
    struct Call {
        QString appName;
        uint replacesId;
        QString icon, summary, body;
        QVariantMap hints;
        int timeout;
    };
    QList<Call> calls;

public slots:
    QStringList GetCapabilities() { return capabilities; }
    uint Notify(const QString& appName, uint replacesId, const QString& icon,
                const QString& summary, const QString& body, const QStringList&,
                const QVariantMap& hints, int timeout) {
        calls.append({appName, replacesId, icon, summary, body, hints, timeout});
        return static_cast<uint>(calls.size());
    }
};

struct NotifierTest : ::testing::Test {
    std::unique_ptr<PrivateBus> bus;
    void SetUp() override {
        vornix::testing::qtApp();
        bus = std::make_unique<PrivateBus>();
        if (!bus->available())
            GTEST_SKIP() << "no private D-Bus: " << bus->whyNot();
    }
    QDBusConnection connect(const QString& name) {
        return QDBusConnection::connectToBus(QString::fromStdString(bus->address()), name);
    }
    void serve(FakeNotificationServer& server) {
        auto serverBus = connect(QStringLiteral("server"));
        ASSERT_TRUE(serverBus.registerObject(QStringLiteral("/org/freedesktop/Notifications"),
                                             &server, QDBusConnection::ExportAllSlots));
        ASSERT_TRUE(serverBus.registerService(QStringLiteral("org.freedesktop.Notifications")));
    }
    void TearDown() override {
        QDBusConnection::disconnectFromBus(QStringLiteral("client"));
        QDBusConnection::disconnectFromBus(QStringLiteral("server"));
    }
};

TEST_F(NotifierTest, ServerGetsExactTextsHintsAndEscapesOnlyWhereItRendersMarkup) {
    FakeNotificationServer server;
    ASSERT_NO_FATAL_FAILURE(serve(server));
    DBusDesktopNotifier notifier(connect(QStringLiteral("client")),
                                 {.desktopEntry = QStringLiteral("io.vornix.Vornix")});
    const DesktopNotification note{"id", "Drive disconnected", "\"A & B <x>\" disappeared."};
    notifier.post(note); // plain-text server: sent verbatim
    ASSERT_TRUE(spinUntil([&] { return server.calls.size() == 1; }));
    server.capabilities << QStringLiteral("body-markup");
    notifier.post(note);
    ASSERT_TRUE(spinUntil([&] { return server.calls.size() == 2; }));

    const auto& call = server.calls[0];
    EXPECT_EQ(call.appName, "Vornix");
    EXPECT_EQ(call.summary, "Drive disconnected");
    EXPECT_EQ(call.body, "\"A & B <x>\" disappeared.");
    EXPECT_EQ(call.hints.value("sound-name").toString(), "device-removed");
    EXPECT_EQ(call.hints.value("category").toString(), "device.removed");
    EXPECT_EQ(call.hints.value("desktop-entry").toString(), "io.vornix.Vornix");
    EXPECT_EQ(server.calls[1].body, "\"A &amp; B &lt;x&gt;\" disappeared.");
    EXPECT_EQ(server.calls[0].replacesId + server.calls[1].replacesId, 0u); // each its own

    // Without a server or a bus it is dropped silently.
    QDBusConnection::disconnectFromBus(QStringLiteral("server"));
    DBusDesktopNotifier noBus(
        QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent"),
                                      QStringLiteral("nowhere")),
        {});
    noBus.requestAuthorization();
    noBus.post(note);
    notifier.post(note);
    int spins = 0;
    spinUntil([&] { return ++spins > 50; }, 500); // let the error replies arrive and be dropped
}

} // namespace
} // namespace vornix::linux_platform

#include "notifier_test.moc"
