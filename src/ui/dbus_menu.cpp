#include "ui/dbus_menu.h"

#include <QAction>
#include <QActionEvent>
#include <QDBusMetaType>
#include <QGuiApplication>
#include <QMenu>
#include <QTimer>

namespace vornix {

namespace {

const QString invalidId = QStringLiteral("com.canonical.dbusmenu.Error.InvalidId");

// Qt marks a mnemonic with '&' ("&&" for itself), dbusmenu with '_' ("__").
QString dbusLabel(const QString& text) {
    QString label;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == u'_')
            label += QStringLiteral("__");
        else if (text[i] == u'&' && i + 1 < text.size())
            label += text[++i] == u'&' ? QStringLiteral("&") : QStringLiteral("_") + text[i];
        else
            label += text[i];
    }
    return label;
}

} // namespace

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuLayout& layout) {
    argument.beginStructure();
    argument << layout.id << layout.properties;
    argument.beginArray(QMetaType::fromType<QDBusVariant>());
    for (const QVariant& child : layout.children)
        argument << QDBusVariant(child);
    argument.endArray();
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuLayout& layout) {
    argument.beginStructure();
    argument >> layout.id >> layout.properties;
    layout.children.clear();
    argument.beginArray();
    while (!argument.atEnd()) {
        QDBusVariant child;
        argument >> child;
        layout.children << child.variant();
    }
    argument.endArray();
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuItemProperties& item) {
    argument.beginStructure();
    argument << item.id << item.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuItemProperties& item) {
    argument.beginStructure();
    argument >> item.id >> item.properties;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuItemKeys& item) {
    argument.beginStructure();
    argument << item.id << item.names;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuItemKeys& item) {
    argument.beginStructure();
    argument >> item.id >> item.names;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuEvent& event) {
    argument.beginStructure();
    argument << event.id << event.eventId << event.data << event.timestamp;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuEvent& event) {
    argument.beginStructure();
    argument >> event.id >> event.eventId >> event.data >> event.timestamp;
    argument.endStructure();
    return argument;
}

DBusMenu::DBusMenu(QMenu* menu, QDBusConnection bus, const QString& path, QObject* parent)
    : QObject(parent), menu_(menu), bus_(std::move(bus)), path_(path) {
    qDBusRegisterMetaType<DBusMenuLayout>();
    qDBusRegisterMetaType<DBusMenuItemProperties>();
    qDBusRegisterMetaType<DBusMenuItemPropertiesList>();
    qDBusRegisterMetaType<DBusMenuItemKeys>();
    qDBusRegisterMetaType<DBusMenuItemKeysList>();
    qDBusRegisterMetaType<DBusMenuEvent>();
    qDBusRegisterMetaType<DBusMenuEventList>();
    menu_->installEventFilter(this);
    exported_ = bus_.registerObject(path_, this,
                                    QDBusConnection::ExportScriptableContents |
                                        QDBusConnection::ExportAllProperties);
    if (!exported_)
        qWarning("vornix: cannot export the tray menu: %s", qPrintable(bus_.lastError().message()));
}

DBusMenu::~DBusMenu() {
    if (exported_)
        bus_.unregisterObject(path_);
}

QString DBusMenu::textDirection() const {
    return QGuiApplication::layoutDirection() == Qt::RightToLeft ? QStringLiteral("rtl")
                                                                 : QStringLiteral("ltr");
}

QAction* DBusMenu::action(int id) const {
    if (!menu_ || id < 1 || id > menu_->actions().size())
        return nullptr;
    return menu_->actions().at(id - 1);
}

QVariantMap DBusMenu::properties(int id, const QStringList& names) const {
    QVariantMap all;
    if (id == 0) {
        all[QStringLiteral("children-display")] = QStringLiteral("submenu");
    } else if (QAction* item = action(id); item && item->isSeparator()) {
        all[QStringLiteral("type")] = QStringLiteral("separator");
        all[QStringLiteral("visible")] = item->isVisible();
    } else if (item) {
        all[QStringLiteral("label")] = dbusLabel(item->text());
        all[QStringLiteral("enabled")] = item->isEnabled();
        all[QStringLiteral("visible")] = item->isVisible();
        if (item->isCheckable()) {
            all[QStringLiteral("toggle-type")] = QStringLiteral("checkmark");
            all[QStringLiteral("toggle-state")] = item->isChecked() ? 1 : 0;
        }
    }
    if (names.isEmpty())
        return all;
    QVariantMap wanted;
    for (const QString& name : names)
        if (all.contains(name))
            wanted[name] = all[name];
    return wanted;
}

void DBusMenu::sendInvalidId(int id) {
    if (calledFromDBus())
        sendErrorReply(invalidId, QStringLiteral("no menu item %1").arg(id));
}

uint DBusMenu::GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames,
                         DBusMenuLayout& layout) {
    if (parentId != 0 && !action(parentId)) {
        sendInvalidId(parentId);
        return revision_;
    }
    layout = {parentId, properties(parentId, propertyNames), {}};
    if (parentId == 0 && recursionDepth != 0 && menu_)
        for (int id = 1; id <= menu_->actions().size(); ++id)
            layout.children << QVariant::fromValue(
                DBusMenuLayout{id, properties(id, propertyNames), {}});
    return revision_;
}

DBusMenuItemPropertiesList DBusMenu::GetGroupProperties(const QList<int>& ids,
                                                        const QStringList& propertyNames) {
    DBusMenuItemPropertiesList items;
    for (int id : ids)
        if (id == 0 || action(id))
            items << DBusMenuItemProperties{id, properties(id, propertyNames)};
    return items;
}

QDBusVariant DBusMenu::GetProperty(int id, const QString& name) {
    const QVariantMap all = properties(id, {name});
    if (id != 0 && !action(id))
        sendInvalidId(id);
    return QDBusVariant(all.value(name, QString()));
}

void DBusMenu::Event(int id, const QString& eventId, const QDBusVariant&, uint) {
    QAction* item = action(id);
    if (id != 0 && !item) {
        sendInvalidId(id);
        return;
    }
    // Triggered once the host has its answer: the action may end the program.
    if (item && eventId == QLatin1String("clicked") && item->isEnabled() && !item->isSeparator())
        QTimer::singleShot(0, item, &QAction::trigger);
}

QList<int> DBusMenu::EventGroup(const QList<DBusMenuEvent>& events) {
    QList<int> idErrors;
    for (const DBusMenuEvent& event : events) {
        if (event.id != 0 && !action(event.id))
            idErrors << event.id;
        else
            Event(event.id, event.eventId, event.data, event.timestamp);
    }
    return idErrors;
}

bool DBusMenu::AboutToShow(int id) {
    if (id != 0 && !action(id))
        sendInvalidId(id);
    return false; // the layout is kept current as the menu changes
}

QList<int> DBusMenu::AboutToShowGroup(const QList<int>& ids, QList<int>& idErrors) {
    for (int id : ids)
        if (id != 0 && !action(id))
            idErrors << id;
    return {};
}

bool DBusMenu::eventFilter(QObject* watched, QEvent* event) {
    // A menu being deleted is a QMenu no longer, and its last events say nothing to a host.
    if (auto* menu = qobject_cast<QMenu*>(watched); menu && menu == menu_.data()) {
        if (event->type() == QEvent::ActionChanged) {
            const int id =
                int(menu->actions().indexOf(static_cast<QActionEvent*>(event)->action())) + 1;
            if (id > 0) {
                Q_EMIT ItemsPropertiesUpdated({{id, properties(id, {})}}, {});
                layoutChanged();
            }
        } else if (event->type() == QEvent::ActionAdded || event->type() == QEvent::ActionRemoved) {
            layoutChanged();
        }
    }
    return QObject::eventFilter(watched, event);
}

void DBusMenu::layoutChanged() {
    Q_EMIT LayoutUpdated(++revision_, 0);
}

} // namespace vornix
