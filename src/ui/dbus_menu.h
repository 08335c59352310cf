#pragma once

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusVariant>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QVariantMap>

class QAction;
class QMenu;

namespace vornix {

/// One item and, as variants of the same type, its children: the (ia{sv}av) of GetLayout.
struct DBusMenuLayout {
    int id = 0;
    QVariantMap properties;
    QVariantList children;
};

struct DBusMenuItemProperties {
    int id = 0;
    QVariantMap properties;
};
using DBusMenuItemPropertiesList = QList<DBusMenuItemProperties>;

struct DBusMenuItemKeys {
    int id = 0;
    QStringList names;
};
using DBusMenuItemKeysList = QList<DBusMenuItemKeys>;

struct DBusMenuEvent {
    int id = 0;
    QString eventId;
    QDBusVariant data{0}; // Qt D-Bus works out the type's signature from a default one
    uint timestamp = 0;
};
using DBusMenuEventList = QList<DBusMenuEvent>;

/// A QMenu as com.canonical.dbusmenu, for StatusNotifierItem hosts that draw the item's menu
/// themselves (XFCE, Plasma, waybar, GNOME's AppIndicator extension) instead of calling
/// ContextMenu. The menu stays the one model: item n is the menu's n-th action (separators
/// included, counted from 1), a click triggers that action, and a change to an action (its check
/// mark above all) tells the host to read the layout again. Flat: submenus are not exported.
class DBusMenu : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.canonical.dbusmenu")
    Q_PROPERTY(uint Version READ version)
    Q_PROPERTY(QString TextDirection READ textDirection)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(QStringList IconThemePath READ iconThemePath)

public:
    /// Exports `menu` at `path` on `bus`. A menu deleted first leaves an empty root behind.
    DBusMenu(QMenu* menu, QDBusConnection bus, const QString& path, QObject* parent = nullptr);
    ~DBusMenu() override;

    bool exported() const { return exported_; }

    uint version() const { return 3; }
    QString textDirection() const;
    QString status() const { return QStringLiteral("normal"); }
    QStringList iconThemePath() const { return {}; }

public Q_SLOTS:
    Q_SCRIPTABLE uint GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames,
                                vornix::DBusMenuLayout& layout);
    Q_SCRIPTABLE vornix::DBusMenuItemPropertiesList
    GetGroupProperties(const QList<int>& ids, const QStringList& propertyNames);
    Q_SCRIPTABLE QDBusVariant GetProperty(int id, const QString& name);
    Q_SCRIPTABLE void Event(int id, const QString& eventId, const QDBusVariant& data,
                            uint timestamp);
    Q_SCRIPTABLE QList<int> EventGroup(const QList<vornix::DBusMenuEvent>& events);
    Q_SCRIPTABLE bool AboutToShow(int id);
    Q_SCRIPTABLE QList<int> AboutToShowGroup(const QList<int>& ids, QList<int>& idErrors);

Q_SIGNALS:
    // Spelled out: Qt D-Bus finds no marshaller for an argument named by an alias.
    Q_SCRIPTABLE void ItemsPropertiesUpdated(const QList<vornix::DBusMenuItemProperties>& updated,
                                             const QList<vornix::DBusMenuItemKeys>& removed);
    Q_SCRIPTABLE void LayoutUpdated(uint revision, int parent);
    Q_SCRIPTABLE void ItemActivationRequested(int id, uint timestamp);

private:
    QAction* action(int id) const;
    QVariantMap properties(int id, const QStringList& names) const;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void layoutChanged();
    void sendInvalidId(int id);

    QPointer<QMenu> menu_;
    QDBusConnection bus_;
    QString path_;
    bool exported_ = false;
    uint revision_ = 1;
};

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuLayout& layout);
const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuLayout& layout);
QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuItemProperties& item);
const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuItemProperties& item);
QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuItemKeys& item);
const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuItemKeys& item);
QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuEvent& event);
const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuEvent& event);

} // namespace vornix

Q_DECLARE_METATYPE(vornix::DBusMenuLayout)
Q_DECLARE_METATYPE(vornix::DBusMenuItemProperties)
Q_DECLARE_METATYPE(vornix::DBusMenuItemKeys)
Q_DECLARE_METATYPE(vornix::DBusMenuEvent)
