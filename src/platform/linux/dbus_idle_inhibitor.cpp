#include "platform/linux/dbus_idle_inhibitor.h"

#include "platform/linux/diagnostics.h"

#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>

#include <algorithm>
#include <atomic>
#include <span>

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

const QString powerManagementService = QStringLiteral("org.freedesktop.PowerManagement");
const QString powerManagementPath = QStringLiteral("/org/freedesktop/PowerManagement/Inhibit");
const QString powerManagementInterface = QStringLiteral("org.freedesktop.PowerManagement.Inhibit");

const QString logindService = QStringLiteral("org.freedesktop.login1");

InhibitionRefusal refusalOf(InhibitionService service, const QDBusMessage& reply) {
    using Cause = InhibitionRefusal::Cause;
    if (reply.type() != QDBusMessage::ErrorMessage)
        return {service, Cause::other,
                "unexpected answer of type " + reply.signature().toStdString()};
    const QString name = reply.errorName().section(u'.', -1);
    const Cause cause =
        name == QStringLiteral("ServiceUnknown") || name == QStringLiteral("NameHasNoOwner")
            ? Cause::noService
        : name == QStringLiteral("AccessDenied") || name == QStringLiteral("AuthFailed") ||
                name == QStringLiteral("InteractiveAuthorizationRequired")
            ? Cause::accessDenied
        : name == QStringLiteral("NoReply") || name == QStringLiteral("Timeout") ||
                name == QStringLiteral("TimedOut")
            ? Cause::timeout
            : Cause::other;
    return {service, cause,
            (reply.errorName() + QStringLiteral(": ") + reply.errorMessage()).toStdString()};
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

void closePortalRequest(QDBusConnection& bus, const QString& path) {
    auto call = QDBusMessage::createMethodCall(portalService, path, requestInterface,
                                               QStringLiteral("Close"));
    call.setAutoStartService(false);
    bus.send(call);
}

} // namespace

DBusIdleInhibitor::DBusIdleInhibitor(QDBusConnection sessionBus, QDBusConnection systemBus,
                                     Options options)
    : sessionBus_(std::move(sessionBus)), systemBus_(std::move(systemBus)),
      options_(std::move(options)), services_{{{InhibitionService::gnomeSession, gnomeService},
                                               {InhibitionService::powerManagement,
                                                powerManagementService},
                                               {InhibitionService::desktopPortal, portalService},
                                               {InhibitionService::logind, logindService}}} {
    for (auto& service : services_) {
        if (!busOf(service).isConnected())
            continue;
        auto* watcher = new QDBusServiceWatcher(service.busName, busOf(service),
                                                QDBusServiceWatcher::WatchForOwnerChange, this);
        connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
                [this, &service](const QString&, const QString& oldOwner, const QString& newOwner) {
                    ownerChanged(service, oldOwner, newOwner);
                });
    }
    if (sessionBus_.isConnected())
        sessionBus_.connect(portalService, QString(), requestInterface, QStringLiteral("Response"),
                            this, SLOT(portalResponse(uint, QVariantMap, QDBusMessage)));
}

DBusIdleInhibitor::~DBusIdleInhibitor() {
    release();
}

QDBusConnection& DBusIdleInhibitor::busOf(const Service& service) {
    return service.id == InhibitionService::logind ? systemBus_ : sessionBus_;
}

InhibitionAssurance DBusIdleInhibitor::assuranceOf(InhibitionService service) const {
    switch (service) {
    case InhibitionService::desktopPortal:
        return InhibitionAssurance::requested;
    case InhibitionService::logind:
        return options_.desktopSession ? InhibitionAssurance::partial : InhibitionAssurance::held;
    default:
        return InhibitionAssurance::held;
    }
}

void DBusIdleInhibitor::inhibit(std::string_view reason, Handler changed) {
    reason_ = QString::fromUtf8(reason.data(), static_cast<qsizetype>(reason.size()));
    changed_ = std::move(changed);
    reported_.reset();
    leftTheBus_.clear();
    advance();
}

void DBusIdleInhibitor::release() {
    if (!changed_)
        return;
    changed_ = nullptr;
    ++round_;
    for (auto& service : services_)
        withdraw(service);
}

void DBusIdleInhibitor::advance() {
    if (!changed_)
        return;
    using Phase = Service::Phase;
    // One session service at a time, in order, until one holds; past a holder none is surer.
    const auto session = std::span(services_).first(3);
    if (std::none_of(session.begin(), session.end(),
                     [](const Service& s) { return s.phase == Phase::asking; })) {
        auto current = InhibitionAssurance::none;
        for (const auto& s : session)
            current = s.phase == Phase::holding ? assuranceOf(s.id) : current;
        for (auto& s : session) {
            if (s.phase == Phase::holding)
                break;
            if (s.phase == Phase::untried && assuranceOf(s.id) > current) {
                ask(s);
                break;
            }
        }
    }
    if (services_.back().phase == Phase::untried)
        ask(services_.back());
    reportIfSettled();
}

void DBusIdleInhibitor::ask(Service& service) {
    QDBusMessage call;
    QString request; // the portal's, as it will name it
    switch (service.id) {
    case InhibitionService::gnomeSession:
        call = QDBusMessage::createMethodCall(gnomeService, gnomePath, gnomeService,
                                              QStringLiteral("Inhibit"));
        call << options_.applicationID << quint32(0) << reason_ << inhibitSuspend;
        break;
    case InhibitionService::powerManagement:
        call = QDBusMessage::createMethodCall(powerManagementService, powerManagementPath,
                                              powerManagementInterface, QStringLiteral("Inhibit"));
        call << options_.applicationName << reason_;
        break;
    case InhibitionService::desktopPortal: {
        const QString token = nextPortalToken();
        request = portalRequestPath(sessionBus_, token);
        call = QDBusMessage::createMethodCall(portalService, portalPath, portalInterface,
                                              QStringLiteral("Inhibit"));
        call << QString() << inhibitSuspend
             << QVariantMap{{QStringLiteral("handle_token"), token},
                            {QStringLiteral("reason"), reason_}};
        break;
    }
    case InhibitionService::logind:
        call = QDBusMessage::createMethodCall(
            logindService, QStringLiteral("/org/freedesktop/login1"),
            QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
        call << QStringLiteral("idle") << options_.applicationName << reason_
             << QStringLiteral("block");
        break;
    }
    service.phase = Service::Phase::asking;
    if (!busOf(service).isConnected()) { // answered all the same, and as always later
        const QDBusMessage refusal = call.createErrorReply(
            QDBusError::Disconnected, service.id == InhibitionService::logind
                                          ? QStringLiteral("not connected to the system bus")
                                          : QStringLiteral("not connected to the session bus"));
        QMetaObject::invokeMethod(
            this,
            [this, &service, round = round_, refusal] { answered(service, round, refusal, {}); },
            Qt::QueuedConnection);
        return;
    }
    auto* pending =
        new QDBusPendingCallWatcher(busOf(service).asyncCall(call, options_.timeoutMs), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this,
            [this, &service, round = round_, request](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                answered(service, round, finished->reply(), request);
            });
}

void DBusIdleInhibitor::answered(Service& service, std::uint64_t round, const QDBusMessage& reply,
                                 const QString& expectedRequest) {
    qCDebug(powerLog).noquote() << service.busName << "answered"
                                << (reply.type() == QDBusMessage::ErrorMessage
                                        ? reply.errorName() + QStringLiteral(": ") +
                                              reply.errorMessage()
                                        : reply.signature());
    Service answer{service.id, service.busName};
    const QString granting = service.id == InhibitionService::logind          ? QStringLiteral("h")
                             : service.id == InhibitionService::desktopPortal ? QStringLiteral("o")
                                                                              : QStringLiteral("u");
    if (reply.type() == QDBusMessage::ReplyMessage && reply.signature() == granting) {
        const QVariant value = reply.arguments().first();
        answer.cookie = value.toUInt();
        answer.request = qvariant_cast<QDBusObjectPath>(value).path();
        answer.lock = qvariant_cast<QDBusUnixFileDescriptor>(value);
        if (granting == QStringLiteral("u") || !answer.request.isEmpty() || answer.lock.isValid())
            answer.phase = Service::Phase::holding;
    }
    // A portal given up on may still act on the call: its request is closed all the same.
    if (service.id == InhibitionService::desktopPortal &&
        refusalOf(service.id, reply).cause == InhibitionRefusal::Cause::timeout)
        closePortalRequest(sessionBus_, expectedRequest);
    if (round != round_)
        return withdraw(answer); // asked for before a release: given back at once
    if (answer.phase != Service::Phase::holding) {
        service.phase = Service::Phase::refused;
        service.refusal = refusalOf(service.id, reply);
        return advance();
    }
    // A surer holder on the session bus replaces a lesser one.
    if (service.id != InhibitionService::logind)
        for (auto& other : std::span(services_).first(3))
            if (&other != &service && other.phase == Service::Phase::holding)
                withdraw(other);
    service = std::move(answer);
    advance();
}

void DBusIdleInhibitor::ownerChanged(Service& service, const QString& oldOwner,
                                     const QString& newOwner) {
    using Phase = Service::Phase;
    qCDebug(powerLog).noquote() << service.busName << "owner:" << oldOwner << "->" << newOwner;
    if (!oldOwner.isEmpty() && service.phase == Phase::holding) {
        // Its holds went with it; a new owner knows nothing of our cookie.
        service = Service{service.id, service.busName};
        leftTheBus_.push_back(service.id);
        if (service.id != InhibitionService::logind) // taken anew from whoever is there
            for (auto& s : std::span(services_).first(3))
                s.phase = s.phase == Phase::refused ? Phase::untried : s.phase;
    }
    if (!newOwner.isEmpty() && service.phase == Phase::refused)
        service.phase = Phase::untried;
    advance();
}

void DBusIdleInhibitor::portalResponse(uint response, const QVariantMap&,
                                       const QDBusMessage& signal) {
    // The portal's backend turned down a request it had taken.
    Service& portal = services_[2];
    if (response == 0 || portal.phase != Service::Phase::holding || signal.path() != portal.request)
        return;
    portal = Service{portal.id, portal.busName};
    portal.phase = Service::Phase::refused;
    portal.refusal = {InhibitionService::desktopPortal, InhibitionRefusal::Cause::other,
                      "its backend refused (response " + std::to_string(response) + ")"};
    advance();
}

// Nothing here waits: the services end a withdrawn inhibition on their own time, and one that
// does not answer cannot hold us up. The logind lock ends as its descriptor closes.
void DBusIdleInhibitor::withdraw(Service& service) {
    if (service.phase == Service::Phase::holding) {
        QDBusMessage call;
        if (service.id == InhibitionService::gnomeSession)
            call = QDBusMessage::createMethodCall(gnomeService, gnomePath, gnomeService,
                                                  QStringLiteral("Uninhibit"))
                   << service.cookie;
        else if (service.id == InhibitionService::powerManagement)
            call = QDBusMessage::createMethodCall(powerManagementService, powerManagementPath,
                                                  powerManagementInterface,
                                                  QStringLiteral("UnInhibit"))
                   << service.cookie;
        else if (service.id == InhibitionService::desktopPortal)
            closePortalRequest(sessionBus_, service.request);
        if (call.type() == QDBusMessage::MethodCallMessage) {
            call.setAutoStartService(false);
            sessionBus_.send(call);
        }
    }
    service = Service{service.id, service.busName};
}

void DBusIdleInhibitor::reportIfSettled() {
    using Phase = Service::Phase;
    if (!changed_ || std::any_of(services_.begin(), services_.end(),
                                 [](const Service& s) { return s.phase == Phase::asking; }))
        return;
    InhibitionState state;
    for (const auto& s : services_) {
        if (s.phase == Phase::holding) {
            state.holders.push_back(s.id);
            state.assurance = std::max(state.assurance, assuranceOf(s.id));
        } else if (s.phase == Phase::refused && s.refusal) {
            state.refusals.push_back(*s.refusal);
        }
    }
    std::stable_sort(state.holders.begin(), state.holders.end(),
                     [this](auto a, auto b) { return assuranceOf(a) > assuranceOf(b); });
    if (state == reported_ && leftTheBus_.empty())
        return;
    reported_ = state;
    state.leftTheBus = std::exchange(leftTheBus_, {});
    const Handler changed = changed_; // it may release
    changed(state);
}

} // namespace vornix::linux_platform
