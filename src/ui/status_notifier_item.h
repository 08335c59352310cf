#pragma once

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QIcon>
#include <QList>
#include <QObject>
#include <QPoint>
#include <QString>

class QDBusServiceWatcher;

namespace vornix {

/// One image of an icon as StatusNotifierItem hosts take it: ARGB32 in network byte order.
struct SniPixmap {
    int width = 0;
    int height = 0;
    QByteArray argb;
};
using SniPixmaps = QList<SniPixmap>;

struct SniToolTip {
    QString iconName;
    SniPixmaps pixmaps;
    QString title;
    QString text;
};

/// Our icon on a StatusNotifierItem host (Plasma, the XFCE and LXQt panels, waybar, GNOME's
/// AppIndicator extension): the org.kde.StatusNotifierItem object on the session bus, registered
/// with the watcher whenever one owns its name, at start or later, and again after it restarts.
/// Exported by hand because Qt's own tray icon drops the position a host sends with Activate.
class StatusNotifierItem : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
    Q_PROPERTY(QString Category READ category)
    Q_PROPERTY(QString Id READ id)
    Q_PROPERTY(QString Title READ title)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(int WindowId READ windowId)
    Q_PROPERTY(QString IconName READ iconName)
    Q_PROPERTY(vornix::SniPixmaps IconPixmap READ iconPixmap)
    Q_PROPERTY(vornix::SniToolTip ToolTip READ toolTip)
    Q_PROPERTY(bool ItemIsMenu READ itemIsMenu)
    Q_PROPERTY(QDBusObjectPath Menu READ menu)

public:
    explicit StatusNotifierItem(QDBusConnection bus, QObject* parent = nullptr);
    ~StatusNotifierItem() override;

    /// Whether a watcher owns its name now (one round trip to the bus daemon).
    bool hostPresent() const;
    /// Registers with the watcher; `hostChanged` tells how that went.
    void registerWithHost();
    /// What the host shows: the title (also the tooltip's heading) and the icon.
    void setAppearance(const QString& title, const QIcon& icon);

    QString category() const { return QStringLiteral("ApplicationStatus"); }
    QString id() const { return QStringLiteral("vornix"); }
    QString title() const { return title_; }
    QString status() const { return QStringLiteral("Active"); }
    int windowId() const { return 0; }
    QString iconName() const { return {}; }
    SniPixmaps iconPixmap() const { return pixmaps_; }
    SniToolTip toolTip() const { return {{}, {}, title_, {}}; }
    bool itemIsMenu() const { return false; }
    /// Where hosts that draw the menu themselves find it (com.canonical.dbusmenu on the same
    /// connection); "/" while there is none.
    QDBusObjectPath menu() const { return menu_; }
    void setMenu(const QDBusObjectPath& path) { menu_ = path; }

public Q_SLOTS:
    // The item's methods, called by the host; positions are global screen coordinates.
    Q_SCRIPTABLE void Activate(int x, int y);
    Q_SCRIPTABLE void SecondaryActivate(int x, int y);
    Q_SCRIPTABLE void ContextMenu(int x, int y);
    Q_SCRIPTABLE void Scroll(int delta, const QString& orientation);

Q_SIGNALS:
    Q_SCRIPTABLE void NewTitle();
    Q_SCRIPTABLE void NewIcon();
    Q_SCRIPTABLE void NewToolTip();
    Q_SCRIPTABLE void NewStatus(const QString& status);

    /// A host took the item (true), or the watcher left or refused it (false).
    void hostChanged(bool present);
    /// A left click at `at`; a null point where the host sent no position.
    void activated(QPoint at);
    /// A middle click.
    void secondaryActivated();
    void contextMenuRequested(QPoint at);

private:
    QDBusConnection bus_;
    QDBusServiceWatcher* watcher_;
    QString title_;
    SniPixmaps pixmaps_;
    QDBusObjectPath menu_{QStringLiteral("/")};
};

QDBusArgument& operator<<(QDBusArgument& argument, const SniPixmap& pixmap);
const QDBusArgument& operator>>(const QDBusArgument& argument, SniPixmap& pixmap);
QDBusArgument& operator<<(QDBusArgument& argument, const SniToolTip& tip);
const QDBusArgument& operator>>(const QDBusArgument& argument, SniToolTip& tip);

} // namespace vornix

Q_DECLARE_METATYPE(vornix::SniPixmap)
Q_DECLARE_METATYPE(vornix::SniToolTip)
