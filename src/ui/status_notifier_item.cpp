#include "ui/status_notifier_item.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QImage>
#include <QtEndian>

namespace vornix {

namespace {

const QString watcherName = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString itemPath = QStringLiteral("/StatusNotifierItem");

} // namespace

QDBusArgument& operator<<(QDBusArgument& argument, const SniPixmap& pixmap) {
    argument.beginStructure();
    argument << pixmap.width << pixmap.height << pixmap.argb;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, SniPixmap& pixmap) {
    argument.beginStructure();
    argument >> pixmap.width >> pixmap.height >> pixmap.argb;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const SniToolTip& tip) {
    argument.beginStructure();
    argument << tip.iconName << tip.pixmaps << tip.title << tip.text;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, SniToolTip& tip) {
    argument.beginStructure();
    argument >> tip.iconName >> tip.pixmaps >> tip.title >> tip.text;
    argument.endStructure();
    return argument;
}

StatusNotifierItem::StatusNotifierItem(QDBusConnection bus, QObject* parent)
    : QObject(parent), bus_(std::move(bus)),
      watcher_(new QDBusServiceWatcher(watcherName, bus_,
                                       QDBusServiceWatcher::WatchForRegistration |
                                           QDBusServiceWatcher::WatchForUnregistration,
                                       this)) {
    qDBusRegisterMetaType<SniPixmap>();
    qDBusRegisterMetaType<SniPixmaps>();
    qDBusRegisterMetaType<SniToolTip>();
    if (!bus_.registerObject(itemPath, this,
                             QDBusConnection::ExportScriptableContents |
                                 QDBusConnection::ExportAllProperties))
        qWarning("vornix: cannot export the tray item: %s", qPrintable(bus_.lastError().message()));
    // A panel that starts late or restarts brings a new watcher, which knows nothing of us.
    connect(watcher_, &QDBusServiceWatcher::serviceRegistered, this,
            [this] { registerWithHost(); });
    connect(watcher_, &QDBusServiceWatcher::serviceUnregistered, this,
            [this] { Q_EMIT hostChanged(false); });
}

StatusNotifierItem::~StatusNotifierItem() {
    bus_.unregisterObject(itemPath);
}

bool StatusNotifierItem::hostPresent() const {
    return bus_.isConnected() && bus_.interface()->isServiceRegistered(watcherName).value();
}

void StatusNotifierItem::registerWithHost() {
    auto call =
        QDBusMessage::createMethodCall(watcherName, QStringLiteral("/StatusNotifierWatcher"),
                                       watcherName, QStringLiteral("RegisterStatusNotifierItem"));
    call << bus_.baseService();
    auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        if (w->isError())
            qWarning("vornix: the tray host refused the icon: %s",
                     qPrintable(w->error().message()));
        Q_EMIT hostChanged(!w->isError());
    });
}

void StatusNotifierItem::setAppearance(const QString& title, const QIcon& icon) {
    SniPixmaps pixmaps;
    for (int size : {16, 22, 24, 32, 48, 64}) {
        const QImage image = icon.pixmap(size).toImage().convertToFormat(QImage::Format_ARGB32);
        SniPixmap pixmap{image.width(), image.height(), {}};
        pixmap.argb.resize(qsizetype(image.width()) * image.height() * 4);
        auto* out = reinterpret_cast<quint32*>(pixmap.argb.data());
        for (int y = 0; y < image.height(); ++y) {
            const auto* line = reinterpret_cast<const quint32*>(image.constScanLine(y));
            for (int x = 0; x < image.width(); ++x)
                *out++ = qToBigEndian(line[x]);
        }
        pixmaps << pixmap;
    }
    const bool titleChanged = title != title_;
    title_ = title;
    pixmaps_ = pixmaps;
    if (titleChanged) {
        Q_EMIT NewTitle();
        Q_EMIT NewToolTip();
    }
    Q_EMIT NewIcon();
}

void StatusNotifierItem::Activate(int x, int y) {
    Q_EMIT activated(QPoint(x, y)); // hosts send (0, 0) when they know no position
}

void StatusNotifierItem::SecondaryActivate(int, int) {
    Q_EMIT secondaryActivated();
}

void StatusNotifierItem::ContextMenu(int x, int y) {
    Q_EMIT contextMenuRequested(QPoint(x, y));
}

void StatusNotifierItem::Scroll(int, const QString&) {}

} // namespace vornix
