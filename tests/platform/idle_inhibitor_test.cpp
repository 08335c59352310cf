#include "engine/power_assertion_manager.h"
#include "platform/linux/dbus_idle_inhibitor.h"

#include "private_bus.h"
#include "qt_spin.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusServiceWatcher>
#include <QDBusVirtualObject>
#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <sys/prctl.h>
#include <unistd.h>

namespace vornix::linux_platform {
namespace {

using vornix::testing::PrivateBus;
using vornix::testing::spinUntil;

const QString reason = QStringLiteral("Vornix is keeping external drives awake");

// Started processes end with the test, even when it crashes.
void dieWithTheTest() {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
}

enum class Mode { absent, grant, refuse, hang };

// One of the desktop's inhibiting services, played by the test: it answers Inhibit as its mode
// says, and an inhibition ends when withdrawn (Close on the portal's request, Uninhibit or
// UnInhibit with the cookie) or, as with the real services, when its holder leaves the bus.
class StandIn : public QDBusVirtualObject {
public:
    struct Inhibition {
        QString sender;
        QString signature;
        QVariantList arguments;
        QString handle; // the portal's request path, or the cookie
        bool withdrawn = false, holderGone = false;
    };
    QList<Inhibition> inhibitions;

    StandIn(QDBusConnection bus, Mode mode, bool portal)
        : bus_(std::move(bus)), mode_(mode), portal_(portal) {}
    int active() const {
        return int(std::count_if(inhibitions.begin(), inhibitions.end(),
                                 [](const auto& i) { return !i.withdrawn && !i.holderGone; }));
    }
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& call, const QDBusConnection& bus) override {
        if (call.member() != QStringLiteral("Inhibit")) {
            const QString handle = call.member() == QStringLiteral("Close")
                                       ? call.path()
                                       : QString::number(call.arguments().value(0).toUInt());
            for (auto& i : inhibitions)
                i.withdrawn |= i.handle == handle && i.sender == call.service();
            return bus.send(call.createReply());
        }
        Inhibition i{call.service(), call.signature(), call.arguments(), {}};
        if (portal_) { // named as the real portal names it, answered or not
            const auto options = qdbus_cast<QVariantMap>(i.arguments.value(2));
            i.handle = QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2")
                           .arg(i.sender.mid(1).replace(u'.', u'_'),
                                options.value(QStringLiteral("handle_token")).toString());
        } else {
            i.handle = QString::number(1000 + inhibitions.size());
        }
        i.withdrawn = mode_ == Mode::refuse; // never held
        auto* watcher = new QDBusServiceWatcher(i.sender, bus_,
                                                QDBusServiceWatcher::WatchForUnregistration, this);
        QObject::connect(watcher, &QDBusServiceWatcher::serviceUnregistered, this,
                         [this](const QString& gone) {
                             for (auto& held : inhibitions)
                                 held.holderGone |= held.sender == gone;
                         });
        inhibitions.append(i);
        if (mode_ == Mode::refuse)
            bus.send(call.createErrorReply(QDBusError::AccessDenied, QStringLiteral("no")));
        else if (mode_ == Mode::grant)
            bus.send(call.createReply(portal_ ? QVariant::fromValue(QDBusObjectPath(i.handle))
                                              : QVariant(i.handle.toUInt())));
        return true;
    }

private:
    QDBusConnection bus_;
    Mode mode_;
    bool portal_;
};

// The tests' client program, driven line by line.
class Client {
public:
    Client(const std::string& session, const std::string& system, int timeoutMs) {
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.setChildProcessModifier(dieWithTheTest);
        process_.start(QStringLiteral(VORNIX_INHIBITOR_CLIENT),
                       {QString::fromStdString(session), QString::fromStdString(system),
                        QString::number(timeoutMs)});
    }
    ~Client() {
        process_.closeWriteChannel();
        if (!process_.waitForFinished(3000))
            kill();
    }
    std::string command(const std::string& line) {
        process_.write((line + "\n").c_str());
        spinUntil([&] { return process_.canReadLine(); }, 10000);
        return process_.readLine().trimmed().toStdString();
    }
    void kill() {
        process_.kill();
        process_.waitForFinished();
    }
    qint64 pid() const { return process_.processId(); }

private:
    QProcess process_;
};

struct SessionCase {
    const char* name;
    Mode portal, gnome, powerManagement;
    int holder; // index into the stand-ins: 0 portal, 1 gnome-session, 2 PowerManagement; -1
};

class SessionBus : public ::testing::TestWithParam<SessionCase> {
protected:
    void SetUp() override {
        vornix::testing::qtApp();
        bus_ = std::make_unique<PrivateBus>();
        if (!bus_->available())
            GTEST_SKIP() << "no private D-Bus: " << bus_->whyNot();
        server_ = QDBusConnection::connectToBus(QString::fromStdString(bus_->address()),
                                                QStringLiteral("stand-ins"));
        const SessionCase& c = GetParam();
        serve(c.portal, "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop");
        serve(c.gnome, "org.gnome.SessionManager", "/org/gnome/SessionManager");
        serve(c.powerManagement, "org.freedesktop.PowerManagement",
              "/org/freedesktop/PowerManagement/Inhibit");
    }
    void TearDown() override {
        standIns_.clear();
        QDBusConnection::disconnectFromBus(QStringLiteral("stand-ins"));
    }
    void serve(Mode mode, const char* service, const char* path) {
        standIns_.push_back(std::make_unique<StandIn>(server_, mode, standIns_.empty()));
        if (mode == Mode::absent)
            return;
        EXPECT_TRUE(server_.registerVirtualObject(QString::fromLatin1(path), standIns_.back().get(),
                                                  QDBusConnection::SubPath));
        EXPECT_TRUE(server_.registerService(QString::fromLatin1(service)));
    }
    int active() const {
        int sum = 0;
        for (const auto& standIn : standIns_)
            sum += standIn->active();
        return sum;
    }

    std::unique_ptr<PrivateBus> bus_;
    QDBusConnection server_{QStringLiteral("unset")};
    std::vector<std::unique_ptr<StandIn>> standIns_;
};

TEST_P(SessionBus, FirstGrantingServiceHoldsItWithTheRightCallUntilReleased) {
    const SessionCase& c = GetParam();
    Client client(bus_->address(), "-", 300);
    const std::string reply = client.command("acquire");
    if (c.holder < 0) {
        EXPECT_EQ(reply, "none");
        EXPECT_EQ(active(), 0);
        return;
    }
    ASSERT_TRUE(reply.starts_with("held ")) << reply;
    EXPECT_EQ(active(), 1) << "more than one service holds it";
    for (int later = c.holder + 1; later < 3; ++later)
        EXPECT_TRUE(standIns_[later]->inhibitions.isEmpty()) << "asked after a grant: " << later;

    // What the holder was asked, as signature and text; the portal's options show their reason.
    const StandIn& holder = *standIns_[c.holder];
    ASSERT_EQ(holder.inhibitions.size(), 1);
    QStringList asked{holder.inhibitions[0].signature};
    for (const QVariant& argument : holder.inhibitions[0].arguments)
        asked << (argument.canConvert<QDBusArgument>()
                      ? qdbus_cast<QVariantMap>(argument).value(QStringLiteral("reason")).toString()
                      : argument.toString());
    const QString expected[] = {QStringLiteral("sua{sv}||4|") + reason,
                                QStringLiteral("susu|" VORNIX_APP_ID "|0|") + reason + "|4",
                                QStringLiteral("ss|Vornix|") + reason};
    EXPECT_EQ(asked.join(u'|').toStdString(), expected[c.holder].toStdString());
    if (c.portal == Mode::hang) { // given up on, and closed in case the portal acts on it later
        EXPECT_TRUE(spinUntil([&] { return standIns_[0]->inhibitions.value(0).withdrawn; }));
    }

    EXPECT_EQ(client.command("release " + reply.substr(5)), "released");
    EXPECT_TRUE(spinUntil([&] { return active() == 0; }));
    EXPECT_TRUE(holder.inhibitions[0].withdrawn);

    // Held through the client's own connection, nothing of it outlives the client.
    ASSERT_TRUE(client.command("acquire").starts_with("held "));
    ASSERT_EQ(active(), 1);
    client.kill();
    EXPECT_TRUE(spinUntil([&] { return active() == 0; }));
}

INSTANTIATE_TEST_SUITE_P(
    DBusIdleInhibitor, SessionBus,
    ::testing::Values(
        SessionCase{"PortalFirst", Mode::grant, Mode::grant, Mode::grant, 0},
        SessionCase{"GnomeSessionWithoutPortal", Mode::absent, Mode::grant, Mode::grant, 1},
        SessionCase{"GnomeSessionWhenPortalRefuses", Mode::refuse, Mode::grant, Mode::grant, 1},
        SessionCase{"GnomeSessionWhenPortalHangs", Mode::hang, Mode::grant, Mode::absent, 1},
        SessionCase{"PowerManagementLast", Mode::absent, Mode::refuse, Mode::grant, 2},
        SessionCase{"NothingGrants", Mode::refuse, Mode::absent, Mode::refuse, -1},
        SessionCase{"NoServices", Mode::absent, Mode::absent, Mode::absent, -1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DBusIdleInhibitor, WithoutBusesIsNotHeld) {
    vornix::testing::qtApp();
    DBusIdleInhibitor inhibitor(QDBusConnection(QStringLiteral("none")),
                                QDBusConnection(QStringLiteral("none")), {});
    EXPECT_FALSE(inhibitor.create(PowerAssertionManager::assertionType, 255, "x"));
    inhibitor.release(1); // nothing held: nothing happens
}

// The real systemd-logind on a system bus of the test's own, in a mount namespace of its own so
// that its runtime files never meet the machine's. It is told to ignore buttons, lid and idle
// and to leave the VTs alone: it must never act on the machine.
class Logind : public ::testing::Test {
protected:
    void SetUp() override {
        vornix::testing::qtApp();
        if (geteuid() != 0)
            GTEST_SKIP() << "starting systemd-logind needs root";
        for (const char* program : {LOGIND, "/usr/bin/systemd-inhibit", "/usr/bin/unshare"})
            if (!QFileInfo(QString::fromLatin1(program)).isExecutable())
                GTEST_SKIP() << program << " is missing (Debian's systemd and util-linux)";
        bus_ = std::make_unique<PrivateBus>(PrivateBus::Kind::system);
        if (!bus_->available())
            GTEST_SKIP() << "no private D-Bus: " << bus_->whyNot();
        env_ = QProcessEnvironment::systemEnvironment();
        env_.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), address());
        env_.insert(QStringLiteral("SYSTEMD_LOG_TARGET"), QStringLiteral("console"));
        logind_.setProcessEnvironment(env_);
        logind_.setProcessChannelMode(QProcess::MergedChannels);
        logind_.setChildProcessModifier(dieWithTheTest);
        QString config = QStringLiteral("[Login]\\nNAutoVTs=0\\nReserveVT=0\\nIdleAction=ignore");
        for (const char* key : {"PowerKey", "SuspendKey", "HibernateKey", "RebootKey", "LidSwitch",
                                "LidSwitchExternalPower", "LidSwitchDocked"})
            config += QStringLiteral("\\nHandle%1=ignore").arg(QLatin1String(key));
        logind_.start(QStringLiteral("unshare"),
                      {QStringLiteral("--mount"), QStringLiteral("sh"), QStringLiteral("-c"),
                       QStringLiteral("set -e; mkdir -p /run/systemd; mount -t tmpfs tmpfs "
                                      "/run/systemd; mkdir /run/systemd/logind.conf.d; printf "
                                      "'%1\\n' >/run/systemd/logind.conf.d/test.conf; exec " LOGIND)
                           .arg(config)});
        auto watch = QDBusConnection::connectToBus(address(), QStringLiteral("watch"));
        const bool up = spinUntil(
            [&] {
                return logind_.state() == QProcess::NotRunning ||
                       watch.interface()->isServiceRegistered(
                           QStringLiteral("org.freedesktop.login1"));
            },
            10000);
        QDBusConnection::disconnectFromBus(QStringLiteral("watch"));
        if (!up || logind_.state() == QProcess::NotRunning)
            GTEST_SKIP() << "systemd-logind did not start: " << logind_.readAll().toStdString();
    }
    void TearDown() override {
        logind_.terminate();
        if (!logind_.waitForFinished(5000))
            logind_.kill();
    }
    QString address() const { return QString::fromStdString(bus_->address()); }

    // The locks systemd-inhibit lists, one line each.
    QStringList locks() {
        QProcess list;
        list.setProcessEnvironment(env_);
        list.start(QStringLiteral("systemd-inhibit"),
                   {QStringLiteral("--list"), QStringLiteral("--no-legend")});
        list.waitForFinished(5000);
        QStringList lines = QString::fromUtf8(list.readAllStandardOutput()).split(u'\n');
        lines.removeAll(QString());
        return lines;
    }
    // Only our lock is there: who, pid, what, why and mode as they must be.
    void expectOnlyOurLock(qint64 pid) {
        const QStringList listed = locks();
        ASSERT_EQ(listed.size(), 1) << listed.join(u'|').toStdString();
        EXPECT_TRUE(listed[0].simplified().contains(
            QStringLiteral("Vornix 0 root %1 ").arg(pid) /* COMM */))
            << listed[0].toStdString();
        EXPECT_TRUE(listed[0].simplified().endsWith(QStringLiteral(" idle ") + reason +
                                                    QStringLiteral(" block")))
            << listed[0].toStdString();
    }
    bool noLocks() {
        return spinUntil([&] { return locks().isEmpty(); });
    }

    std::unique_ptr<PrivateBus> bus_;
    QProcessEnvironment env_;
    QProcess logind_;
};

TEST_F(Logind, HoldsAnIdleBlockLockUntilReleasedOrDestroyed) {
    auto system = QDBusConnection::connectToBus(address(), QStringLiteral("client"));
    {
        // No session bus, as on a machine without a desktop: the logind lock alone holds it.
        DBusIdleInhibitor inhibitor(QDBusConnection(QStringLiteral("none")), system,
                                    {QStringLiteral(VORNIX_APP_ID), QStringLiteral("Vornix")});
        const auto id = inhibitor.create(PowerAssertionManager::assertionType, 255,
                                         PowerAssertionManager::assertionName);
        ASSERT_TRUE(id.has_value());
        expectOnlyOurLock(getpid());
        inhibitor.release(*id);
        EXPECT_TRUE(noLocks()) << "still listed after release()";

        ASSERT_TRUE(inhibitor.create(PowerAssertionManager::assertionType, 255,
                                     PowerAssertionManager::assertionName));
        expectOnlyOurLock(getpid());
    }
    EXPECT_TRUE(noLocks()) << "still listed after the inhibitor was destroyed";
    QDBusConnection::disconnectFromBus(QStringLiteral("client"));
}

TEST_F(Logind, KillingTheHolderEndsTheLock) {
    Client client("-", bus_->address(), 2000);
    ASSERT_TRUE(client.command("acquire").starts_with("held "));
    expectOnlyOurLock(client.pid());
    client.kill();
    EXPECT_TRUE(noLocks()) << "still listed after the holder was killed";
}

} // namespace
} // namespace vornix::linux_platform
