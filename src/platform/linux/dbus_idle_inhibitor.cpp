#include "platform/linux/dbus_idle_inhibitor.h"

#include "platform/linux/diagnostics.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusPendingReply>
#include <QVariantMap>

#include <atomic>

namespace vornix::linux_platform {

namespace {

// Flag 4 of the portal and of gnome-session: automatic suspend, which is what idle sleep is.
constexpr quint32 inhibitSuspend = 4;

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString portalInterface = QStringLiteral("org.freedesktop.portal.Inhibit");
const QString requestInterface = QStringLiteral("org.freedesktop.portal.Request");

const QString gnomeService = QStringLiteral("org.gnome.SessionManager");
const QString gnomePath = QStringLiteral("/org/gnome/SessionManager");
const QString gnomeInterface = QStringLiteral("org.gnome.SessionManager");

const QString powerManagementService = QStringLiteral("org.freedesktop.PowerManagement");
const QString powerManagementPath = QStringLiteral("/org/freedesktop/PowerManagement/Inhibit");
const QString powerManagementInterface = QStringLiteral("org.freedesktop.PowerManagement.Inhibit");

const QString logindService = QStringLiteral("org.freedesktop.login1");
const QString logindPath = QStringLiteral("/org/freedesktop/login1");
const QString logindInterface = QStringLiteral("org.freedesktop.login1.Manager");

// A reply that did not come in time: the service may still act on the call later.
bool unanswered(const QDBusMessage& reply) {
    const QString name = reply.errorName();
    return name == QStringLiteral("org.freedesktop.DBus.Error.NoReply") ||
           name == QStringLiteral("org.freedesktop.DBus.Error.Timeout");
}

// What a mechanism answered, for the diagnostics.
QString answerOf(const QDBusMessage& reply) {
    return reply.type() == QDBusMessage::ErrorMessage
               ? reply.errorName() + QStringLiteral(": ") + reply.errorMessage()
               : QStringLiteral("answered");
}

std::optional<quint32> cookieOf(const QDBusMessage& reply) {
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1)
        return std::nullopt;
    bool ok = false;
    const quint32 cookie = reply.arguments().first().toUInt(&ok);
    if (!ok || reply.signature() != QStringLiteral("u"))
        return std::nullopt;
    return cookie;
}

// The portal names the request after our connection and a token of ours, so we know its path
// even when its reply never reaches us.
QString portalRequestPath(const QDBusConnection& bus, const QString& token) {
    QString sender = bus.baseService();
    sender.remove(0, sender.startsWith(u':') ? 1 : 0).replace(u'.', u'_');
    return QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token);
}

QString nextPortalToken() {
    static std::atomic<unsigned> counter{0};
    return QStringLiteral("vornix%1").arg(++counter);
}

} // namespace

bool DBusIdleInhibitor::Hold::empty() const {
    return portalRequest.isEmpty() && !gnomeCookie && !powerManagementCookie &&
           !logindLock.isValid();
}

DBusIdleInhibitor::DBusIdleInhibitor(QDBusConnection sessionBus, QDBusConnection systemBus,
                                     Options options)
    : sessionBus_(std::move(sessionBus)), systemBus_(std::move(systemBus)),
      options_(std::move(options)) {}

DBusIdleInhibitor::~DBusIdleInhibitor() {
    release();
}

bool DBusIdleInhibitor::inhibit(std::string_view why) {
    if (hold_)
        return true;
    const QString reason = QString::fromUtf8(why.data(), static_cast<qsizetype>(why.size()));
    Hold hold;

    std::optional<QDBusPendingCall> logindCall;
    if (systemBus_.isConnected()) {
        auto call = QDBusMessage::createMethodCall(logindService, logindPath, logindInterface,
                                                   QStringLiteral("Inhibit"));
        call << QStringLiteral("idle") << options_.applicationName << reason
             << QStringLiteral("block");
        logindCall = systemBus_.asyncCall(call, options_.timeoutMs);
    }

    if (sessionBus_.isConnected() && !inhibitThroughPortal(reason, hold) &&
        !inhibitThroughGnomeSession(reason, hold))
        inhibitThroughPowerManagement(reason, hold);

    if (logindCall) {
        QDBusPendingReply<QDBusUnixFileDescriptor> reply = *logindCall;
        reply.waitForFinished();
        if (reply.isValid() && reply.value().isValid())
            hold.logindLock = reply.value();
        // A reply too late for us is dropped with its descriptor, which ends that lock.
        qCDebug(powerLog).noquote() << "logind idle lock:" << answerOf(reply.reply());
    }

    if (hold.empty()) {
        qCWarning(powerLog) << "no mechanism granted the idle inhibition (their answers: "
                               "QT_LOGGING_RULES=vornix.power.debug=true)";
        return false;
    }
    hold_ = std::move(hold);
    return true;
}

void DBusIdleInhibitor::release() {
    if (!hold_)
        return;
    withdraw(*hold_);
    hold_.reset(); // closes our descriptor of the logind lock
}

bool DBusIdleInhibitor::inhibitThroughPortal(const QString& reason, Hold& hold) {
    const QString token = nextPortalToken();
    auto call = QDBusMessage::createMethodCall(portalService, portalPath, portalInterface,
                                               QStringLiteral("Inhibit"));
    call << QString() << inhibitSuspend
         << QVariantMap{{QStringLiteral("handle_token"), token},
                        {QStringLiteral("reason"), reason}};
    const QDBusMessage reply = sessionBus_.call(call, QDBus::Block, options_.timeoutMs);
    qCDebug(powerLog).noquote() << "desktop portal:" << answerOf(reply);
    if (reply.type() == QDBusMessage::ReplyMessage && reply.signature() == QStringLiteral("o")) {
        hold.portalRequest = qvariant_cast<QDBusObjectPath>(reply.arguments().first()).path();
        return !hold.portalRequest.isEmpty();
    }
    if (unanswered(reply))
        closePortalRequest(portalRequestPath(sessionBus_, token));
    return false;
}

bool DBusIdleInhibitor::inhibitThroughGnomeSession(const QString& reason, Hold& hold) {
    auto call = QDBusMessage::createMethodCall(gnomeService, gnomePath, gnomeInterface,
                                               QStringLiteral("Inhibit"));
    call << options_.applicationID << quint32(0) << reason << inhibitSuspend;
    const QDBusMessage reply = sessionBus_.call(call, QDBus::Block, options_.timeoutMs);
    qCDebug(powerLog).noquote() << "gnome-session:" << answerOf(reply);
    hold.gnomeCookie = cookieOf(reply);
    return hold.gnomeCookie.has_value();
}

bool DBusIdleInhibitor::inhibitThroughPowerManagement(const QString& reason, Hold& hold) {
    auto call = QDBusMessage::createMethodCall(powerManagementService, powerManagementPath,
                                               powerManagementInterface, QStringLiteral("Inhibit"));
    call << options_.applicationName << reason;
    const QDBusMessage reply = sessionBus_.call(call, QDBus::Block, options_.timeoutMs);
    qCDebug(powerLog).noquote() << "PowerManagement:" << answerOf(reply);
    hold.powerManagementCookie = cookieOf(reply);
    return hold.powerManagementCookie.has_value();
}

void DBusIdleInhibitor::closePortalRequest(const QString& path) {
    auto call = QDBusMessage::createMethodCall(portalService, path, requestInterface,
                                               QStringLiteral("Close"));
    call.setAutoStartService(false);
    sessionBus_.send(call);
}

// Nothing here waits: the services end a withdrawn inhibition on their own time, and one that
// does not answer cannot hold us up. The logind lock ends when the hold is destroyed.
void DBusIdleInhibitor::withdraw(const Hold& hold) {
    if (!hold.portalRequest.isEmpty())
        closePortalRequest(hold.portalRequest);
    if (hold.gnomeCookie) {
        auto call = QDBusMessage::createMethodCall(gnomeService, gnomePath, gnomeInterface,
                                                   QStringLiteral("Uninhibit"));
        call << *hold.gnomeCookie;
        call.setAutoStartService(false);
        sessionBus_.send(call);
    }
    if (hold.powerManagementCookie) {
        auto call =
            QDBusMessage::createMethodCall(powerManagementService, powerManagementPath,
                                           powerManagementInterface, QStringLiteral("UnInhibit"));
        call << *hold.powerManagementCookie;
        call.setAutoStartService(false);
        sessionBus_.send(call);
    }
}

} // namespace vornix::linux_platform
