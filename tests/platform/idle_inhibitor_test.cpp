#include "engine/power_assertion_manager.h"
#include "platform/linux/dbus_idle_inhibitor.h"

#include "private_bus.h"
#include "qt_spin.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusServiceWatcher>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QVariantMap>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <functional>
#include <memory>
#include <sys/prctl.h>
#include <unistd.h>

namespace vornix::linux_platform {
namespace {

using vornix::testing::PrivateBus;
using vornix::testing::spinUntil;

const QString reasonText = QStringLiteral("Vornix is keeping external drives awake");

enum class Mode { absent, grant, refuse, hang };

// Started processes end with the test, even when it crashes.
void dieWithTheTest() {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
}

// What a stand-in service was asked, and whether it still holds it. A holder that leaves the
// bus loses its inhibitions, as with the real services.
struct Inhibition {
    QString sender;
    QVariantList arguments;
    QString handle; // the portal's request path, or the cookie as text
    bool withdrawn = false;
    bool senderGone = false;
    bool active() const { return !withdrawn && !senderGone; }
};

class StandIn : public QObject, protected QDBusContext {
    Q_OBJECT // lets the bus find the QDBusContext
        public : StandIn(QDBusConnection bus, Mode mode)
        : bus_(std::move(bus)), mode_(mode) {}
    QList<Inhibition> inhibitions;
    int active() const {
        return static_cast<int>(std::count_if(inhibitions.begin(), inhibitions.end(),
                                              [](const Inhibition& i) { return i.active(); }));
    }

protected:
    // Records the call; false when the mode says not to grant it (and answers accordingly).
    bool accept(QVariantList arguments) {
        inhibitions.append({message().service(), std::move(arguments), {}, false, false});
        watchSender(message().service());
        if (mode_ == Mode::refuse) {
            inhibitions.last().withdrawn = true; // never held
            sendErrorReply(QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"),
                           QStringLiteral("refused by the test"));
        }
        if (mode_ == Mode::hang)
            setDelayedReply(true); // never answered
        return mode_ == Mode::grant;
    }
    void withdraw(const QString& handle) {
        for (auto& inhibition : inhibitions)
            if (inhibition.handle == handle && inhibition.sender == message().service())
                inhibition.withdrawn = true;
    }
    QDBusConnection bus_;

private:
    void watchSender(const QString& sender) {
        auto* watcher = new QDBusServiceWatcher(sender, bus_,
                                                QDBusServiceWatcher::WatchForUnregistration, this);
        connect(watcher, &QDBusServiceWatcher::serviceUnregistered, this, [this](const QString& s) {
            for (auto& inhibition : inhibitions)
                if (inhibition.sender == s)
                    inhibition.senderGone = true;
        });
    }
    Mode mode_;
};

class PortalRequest : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Request")
public:
    std::function<void()> onClose;
public slots:
    void Close() { onClose(); }
};

class PortalStandIn : public StandIn {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Inhibit")
public:
    using StandIn::StandIn;
public slots:
    QDBusObjectPath Inhibit(const QString& window, uint flags, const QVariantMap& options) {
        // The request exists as soon as the call arrives, answered or not.
        QString sender = message().service().mid(1).replace(u'.', u'_');
        const QString path =
            QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2")
                .arg(sender, options.value(QStringLiteral("handle_token")).toString());
        auto* request = new PortalRequest;
        request->setParent(this);
        const QString caller = message().service();
        request->onClose = [this, path, caller] {
            for (auto& inhibition : inhibitions)
                if (inhibition.handle == path && inhibition.sender == caller)
                    inhibition.withdrawn = true;
        };
        bus_.registerObject(path, request, QDBusConnection::ExportAllSlots);
        const bool granted = accept({window, flags, options});
        inhibitions.last().handle = path;
        return QDBusObjectPath(granted ? path : QStringLiteral("/"));
    }
};

class GnomeSessionStandIn : public StandIn {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.gnome.SessionManager")
public:
    using StandIn::StandIn;
public slots:
    uint Inhibit(const QString& appId, uint toplevelXid, const QString& reason, uint flags) {
        accept({appId, toplevelXid, reason, flags});
        inhibitions.last().handle = QString::number(1000 + inhibitions.size());
        return inhibitions.last().handle.toUInt();
    }
    void Uninhibit(uint cookie) { withdraw(QString::number(cookie)); }
};

class PowerManagementStandIn : public StandIn {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.PowerManagement.Inhibit")
public:
    using StandIn::StandIn;
public slots:
    uint Inhibit(const QString& application, const QString& reason) {
        accept({application, reason});
        inhibitions.last().handle = QString::number(2000 + inhibitions.size());
        return inhibitions.last().handle.toUInt();
    }
    void UnInhibit(uint cookie) { withdraw(QString::number(cookie)); }
};

// The client program of the tests, driven line by line.
class Client {
public:
    Client(const std::string& sessionAddress, const std::string& systemAddress, int timeoutMs) {
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.setChildProcessModifier(dieWithTheTest);
        process_.start(QStringLiteral(VORNIX_INHIBITOR_CLIENT),
                       {QString::fromStdString(sessionAddress),
                        QString::fromStdString(systemAddress), QString::number(timeoutMs)});
        process_.waitForStarted();
    }
    ~Client() {
        process_.closeWriteChannel();
        if (!process_.waitForFinished(3000))
            process_.kill();
        process_.waitForFinished();
    }
    // Sends a command and answers its reply line ("" when none came in time).
    std::string command(const std::string& line) {
        process_.write((line + "\n").c_str());
        if (!spinUntil([&] { return process_.canReadLine(); }, 10000))
            return {};
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
    const char* holder; // "portal", "gnome", "pm" or "none"
};
void PrintTo(const SessionCase& c, std::ostream* os) {
    *os << c.name;
}

class SessionBusInhibitor : public ::testing::TestWithParam<SessionCase> {
protected:
    void SetUp() override {
        vornix::testing::qtApp();
        bus_ = std::make_unique<PrivateBus>();
        if (!bus_->available())
            GTEST_SKIP() << "no private D-Bus: " << bus_->whyNot();
        server_ = QDBusConnection::connectToBus(QString::fromStdString(bus_->address()),
                                                QStringLiteral("stand-ins"));
        const SessionCase& c = GetParam();
        portal_ = serve<PortalStandIn>(c.portal, "org.freedesktop.portal.Desktop",
                                       "/org/freedesktop/portal/desktop");
        gnome_ = serve<GnomeSessionStandIn>(c.gnome, "org.gnome.SessionManager",
                                            "/org/gnome/SessionManager");
        powerManagement_ =
            serve<PowerManagementStandIn>(c.powerManagement, "org.freedesktop.PowerManagement",
                                          "/org/freedesktop/PowerManagement/Inhibit");
    }
    void TearDown() override {
        portal_.reset();
        gnome_.reset();
        powerManagement_.reset();
        QDBusConnection::disconnectFromBus(QStringLiteral("stand-ins"));
    }

    template <class T> std::unique_ptr<T> serve(Mode mode, const char* service, const char* path) {
        auto standIn = std::make_unique<T>(server_, mode);
        if (mode != Mode::absent) {
            EXPECT_TRUE(server_.registerObject(QString::fromLatin1(path), standIn.get(),
                                               QDBusConnection::ExportAllSlots));
            EXPECT_TRUE(server_.registerService(QString::fromLatin1(service)));
        }
        return standIn;
    }
    StandIn* holder(const std::string& name) {
        if (name == "portal")
            return portal_.get();
        if (name == "gnome")
            return gnome_.get();
        if (name == "pm")
            return powerManagement_.get();
        return nullptr;
    }
    int activeEverywhere() const {
        return portal_->active() + gnome_->active() + powerManagement_->active();
    }
    std::unique_ptr<Client> client(int timeoutMs = 2000) {
        return std::make_unique<Client>(bus_->address(), "-", timeoutMs);
    }

    std::unique_ptr<PrivateBus> bus_;
    QDBusConnection server_{QStringLiteral("unset")};
    std::unique_ptr<PortalStandIn> portal_;
    std::unique_ptr<GnomeSessionStandIn> gnome_;
    std::unique_ptr<PowerManagementStandIn> powerManagement_;
};

TEST_P(SessionBusInhibitor, FirstGrantingServiceHoldsItWithTheRightCallAndReleaseWithdrawsIt) {
    const SessionCase& c = GetParam();
    auto program = client(300);
    const std::string reply = program->command("acquire");
    if (std::string(c.holder) == "none") {
        EXPECT_EQ(reply, "none");
        EXPECT_EQ(activeEverywhere(), 0);
        return;
    }
    ASSERT_TRUE(reply.starts_with("held ")) << reply;
    StandIn* held = holder(c.holder);
    ASSERT_EQ(held->inhibitions.size(), 1);
    EXPECT_EQ(activeEverywhere(), 1) << "more than one service holds it";

    const QVariantList& args = held->inhibitions[0].arguments;
    if (held == portal_.get()) {
        EXPECT_EQ(args[0].toString(), ""); // no window
        EXPECT_EQ(args[1].toUInt(), 4u);   // suspend
        const auto options = args[2].value<QVariantMap>();
        EXPECT_EQ(options.value("reason").toString(), reasonText);
        EXPECT_FALSE(options.value("handle_token").toString().isEmpty());
    } else if (held == gnome_.get()) {
        EXPECT_EQ(args[0].toString(), VORNIX_APP_ID);
        EXPECT_EQ(args[1].toUInt(), 0u);
        EXPECT_EQ(args[2].toString(), reasonText);
        EXPECT_EQ(args[3].toUInt(), 4u); // suspend
    } else {
        EXPECT_EQ(args[0].toString(), "Vornix");
        EXPECT_EQ(args[1].toString(), reasonText);
    }
    // Every service asked before the holder refused or did not answer; none after it was asked.
    if (c.portal == Mode::hang) { // given up on, and withdrawn in case it acts on it later
        EXPECT_TRUE(spinUntil([&] { return portal_->inhibitions.value(0).withdrawn; }));
    }
    if (held != powerManagement_.get()) {
        EXPECT_TRUE(powerManagement_->inhibitions.isEmpty());
    }
    if (held == portal_.get()) {
        EXPECT_TRUE(gnome_->inhibitions.isEmpty());
    }

    EXPECT_EQ(program->command("release " + reply.substr(5)), "released");
    EXPECT_TRUE(spinUntil([&] { return activeEverywhere() == 0; }));
    EXPECT_TRUE(held->inhibitions[0].withdrawn);
}

INSTANTIATE_TEST_SUITE_P(
    DBusIdleInhibitor, SessionBusInhibitor,
    ::testing::Values(
        SessionCase{"PortalFirst", Mode::grant, Mode::grant, Mode::grant, "portal"},
        SessionCase{"GnomeSessionWithoutPortal", Mode::absent, Mode::grant, Mode::grant, "gnome"},
        SessionCase{"GnomeSessionWhenPortalRefuses", Mode::refuse, Mode::grant, Mode::absent,
                    "gnome"},
        SessionCase{"GnomeSessionWhenPortalHangs", Mode::hang, Mode::grant, Mode::absent, "gnome"},
        SessionCase{"PowerManagementLast", Mode::absent, Mode::refuse, Mode::grant, "pm"},
        SessionCase{"NothingGrants", Mode::refuse, Mode::absent, Mode::refuse, "none"},
        SessionCase{"NoServices", Mode::absent, Mode::absent, Mode::absent, "none"}),
    [](const auto& info) { return std::string(info.param.name); });

// The services end what a client holds when its connection leaves the bus: the client must
// hold it through its own connection, with nothing left to outlive it.
class KilledClient : public SessionBusInhibitor {};

TEST_P(KilledClient, LeavesNothingHeld) {
    auto program = client();
    ASSERT_TRUE(program->command("acquire").starts_with("held "));
    ASSERT_EQ(activeEverywhere(), 1);
    program->kill();
    EXPECT_TRUE(spinUntil([&] { return activeEverywhere() == 0; }));
    EXPECT_FALSE(holder(GetParam().holder)->inhibitions[0].withdrawn) << "ended by the bus";
}

INSTANTIATE_TEST_SUITE_P(DBusIdleInhibitor, KilledClient,
                         ::testing::Values(SessionCase{"PortalHolder", Mode::grant, Mode::grant,
                                                       Mode::grant, "portal"},
                                           SessionCase{"GnomeSessionHolder", Mode::absent,
                                                       Mode::grant, Mode::grant, "gnome"},
                                           SessionCase{"PowerManagementHolder", Mode::absent,
                                                       Mode::absent, Mode::grant, "pm"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DBusIdleInhibitorNoService, NoBusOrNoServiceIsNotHeldAndReturnsAtOnce) {
    vornix::testing::qtApp();
    PrivateBus bus;
    if (!bus.available())
        GTEST_SKIP() << "no private D-Bus: " << bus.whyNot();
    const QString address = QString::fromStdString(bus.address());
    struct Case {
        const char* name;
        QDBusConnection session, system;
    } cases[] = {
        {"no buses", QDBusConnection(QStringLiteral("none")),
         QDBusConnection(QStringLiteral("none"))},
        {"unreachable buses",
         QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/bus"),
                                       QStringLiteral("nowhere")),
         QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/bus"),
                                       QStringLiteral("nowhere"))},
        {"buses without any service", QDBusConnection::connectToBus(address, QStringLiteral("s")),
         QDBusConnection::connectToBus(address, QStringLiteral("y"))},
    };
    for (auto& c : cases) {
        DBusIdleInhibitor inhibitor(
            c.session, c.system, {QStringLiteral(VORNIX_APP_ID), QStringLiteral("Vornix"), 5000});
        QElapsedTimer clock;
        clock.start();
        EXPECT_FALSE(inhibitor.create(PowerAssertionManager::assertionType,
                                      PowerAssertionManager::assertionLevel,
                                      PowerAssertionManager::assertionName))
            << c.name;
        EXPECT_LT(clock.elapsed(), 2000) << c.name << ": waited for a timeout";
        inhibitor.release(1); // nothing held: nothing happens
    }
    QDBusConnection::disconnectFromBus(QStringLiteral("s"));
    QDBusConnection::disconnectFromBus(QStringLiteral("y"));
    QDBusConnection::disconnectFromBus(QStringLiteral("nowhere"));
}

// The real systemd-logind on a system bus of the test's own, in a mount namespace of its own
// so that its runtime files never meet the machine's.
class PrivateLogind {
public:
    explicit PrivateLogind(const std::string& busAddress) : address_(busAddress) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), QString::fromStdString(address_));
        env.insert(QStringLiteral("SYSTEMD_LOG_TARGET"), QStringLiteral("console"));
        env.insert(QStringLiteral("SYSTEMD_LOG_LEVEL"), QStringLiteral("warning"));
        process_.setProcessEnvironment(env);
        process_.setProcessChannelMode(QProcess::MergedChannels);
        process_.setChildProcessModifier(dieWithTheTest);
        // Buttons, lid and idle are ignored and no VT is touched: this logind must never act
        // on the machine.
        const QString script = QStringLiteral(
            "set -e; mkdir -p /run/systemd; mount -t tmpfs -o mode=0755 vornix-test /run/systemd;"
            "mkdir /run/systemd/logind.conf.d;"
            "printf '[Login]\\nNAutoVTs=0\\nReserveVT=0\\nKillUserProcesses=no\\n"
            "HandlePowerKey=ignore\\nHandleSuspendKey=ignore\\nHandleHibernateKey=ignore\\n"
            "HandleRebootKey=ignore\\nHandleLidSwitch=ignore\\n"
            "HandleLidSwitchExternalPower=ignore\\nHandleLidSwitchDocked=ignore\\n"
            "IdleAction=ignore\\n' > /run/systemd/logind.conf.d/vornix-test.conf;"
            "exec " LOGIND_PATH);
        process_.start(QStringLiteral("unshare"),
                       {QStringLiteral("--mount"), QStringLiteral("--propagation"),
                        QStringLiteral("private"), QStringLiteral("sh"), QStringLiteral("-c"),
                        script});
        bus_ = QDBusConnection::connectToBus(QString::fromStdString(address_),
                                             QStringLiteral("logind-watch"));
        const bool up = spinUntil(
            [&] {
                return process_.state() == QProcess::NotRunning ||
                       bus_.interface()->isServiceRegistered(
                           QStringLiteral("org.freedesktop.login1"));
            },
            10000);
        if (!up || process_.state() == QProcess::NotRunning)
            whyNot_ = "systemd-logind did not start: " + process_.readAll().toStdString();
    }
    ~PrivateLogind() {
        process_.terminate();
        if (!process_.waitForFinished(5000))
            process_.kill();
        process_.waitForFinished();
        QDBusConnection::disconnectFromBus(QStringLiteral("logind-watch"));
    }
    const std::string& whyNot() const { return whyNot_; }

    // The inhibitors as systemd-inhibit lists them, one line each.
    QStringList inhibitors() const {
        QProcess list;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), QString::fromStdString(address_));
        list.setProcessEnvironment(env);
        list.start(QStringLiteral("systemd-inhibit"),
                   {QStringLiteral("--list"), QStringLiteral("--no-legend"),
                    QStringLiteral("--no-pager")});
        list.waitForFinished(5000);
        QStringList lines;
        for (const QString& line : QString::fromUtf8(list.readAllStandardOutput()).split(u'\n'))
            if (!line.trimmed().isEmpty())
                lines << line.simplified();
        return lines;
    }

private:
    std::string address_;
    std::string whyNot_;
    QProcess process_;
    QDBusConnection bus_{QStringLiteral("unset")};
};

class LogindInhibitor : public ::testing::Test {
protected:
    void SetUp() override {
        vornix::testing::qtApp();
        if (geteuid() != 0)
            GTEST_SKIP() << "starting systemd-logind needs root";
        for (const char* program : {LOGIND_PATH, "/usr/bin/systemd-inhibit", "/usr/bin/unshare"})
            if (!QFileInfo(QString::fromLatin1(program)).isExecutable())
                GTEST_SKIP() << program << " is not installed (Debian's systemd, util-linux)";
        bus_ = std::make_unique<PrivateBus>(PrivateBus::Kind::system);
        if (!bus_->available())
            GTEST_SKIP() << "no private D-Bus: " << bus_->whyNot();
        logind_ = std::make_unique<PrivateLogind>(bus_->address());
        if (!logind_->whyNot().empty())
            GTEST_SKIP() << logind_->whyNot();
    }
    void TearDown() override {
        logind_.reset();
        bus_.reset();
    }
    // The one lock listed, checked for what, who, why and mode; its line.
    QString onlyLock() {
        const QStringList locks = logind_->inhibitors();
        EXPECT_EQ(locks.size(), 1) << locks.join(u'|').toStdString();
        const QString line = locks.value(0);
        EXPECT_TRUE(line.startsWith(QStringLiteral("Vornix "))) << line.toStdString();
        EXPECT_TRUE(line.contains(QStringLiteral(" idle ") + reasonText + QStringLiteral(" block")))
            << line.toStdString();
        EXPECT_FALSE(line.contains(QStringLiteral("sleep"))) << line.toStdString();
        return line;
    }
    bool noLocks() {
        return spinUntil([&] { return logind_->inhibitors().isEmpty(); }, 5000);
    }
    std::unique_ptr<PrivateBus> bus_;
    std::unique_ptr<PrivateLogind> logind_;
};

TEST_F(LogindInhibitor, HoldsAnIdleBlockLockUntilReleasedOrDestroyed) {
    auto system = QDBusConnection::connectToBus(QString::fromStdString(bus_->address()),
                                                QStringLiteral("client-system"));
    {
        // No session bus: a machine without a desktop still gets the logind lock.
        DBusIdleInhibitor inhibitor(
            QDBusConnection(QStringLiteral("none")), system,
            {QStringLiteral(VORNIX_APP_ID), QStringLiteral("Vornix"), 2000});
        const auto id = inhibitor.create(PowerAssertionManager::assertionType,
                                         PowerAssertionManager::assertionLevel,
                                         PowerAssertionManager::assertionName);
        ASSERT_TRUE(id.has_value());
        EXPECT_TRUE(onlyLock().contains(QStringLiteral(" %1 ").arg(getpid())));
        inhibitor.release(*id);
        EXPECT_TRUE(noLocks()) << "still listed after release()";

        ASSERT_TRUE(inhibitor.create(PowerAssertionManager::assertionType,
                                     PowerAssertionManager::assertionLevel,
                                     PowerAssertionManager::assertionName));
        onlyLock();
    }
    EXPECT_TRUE(noLocks()) << "still listed after the inhibitor was destroyed";
    QDBusConnection::disconnectFromBus(QStringLiteral("client-system"));
}

TEST_F(LogindInhibitor, KillingTheHolderEndsTheLock) {
    Client program("-", bus_->address(), 2000);
    ASSERT_TRUE(program.command("acquire").starts_with("held "));
    EXPECT_TRUE(onlyLock().contains(QStringLiteral(" %1 ").arg(program.pid())));
    program.kill();
    EXPECT_TRUE(noLocks()) << "still listed after the holder was killed";
}

} // namespace
} // namespace vornix::linux_platform

#include "idle_inhibitor_test.moc"
