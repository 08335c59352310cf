#include "ui/tray_application.h"

#include "ui/dbus_menu.h"
#include "ui/panel.h"
#include "ui/status_notifier_item.h"
#include "ui/tray_icons.h"

#include <QAccessible>
#include <QApplication>
#include <QCursor>
#include <QEvent>
#include <QGridLayout>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QScreen>
#include <QTimer>
#include <QWindow>

#include <utility>

namespace vornix {

namespace {

// A Wayland compositor places windows itself: there the panel is an ordinary window.
bool compositorPlaces() {
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

} // namespace

TrayApplication::TrayApplication(AppPorts ports, Options options)
    : appState_(std::make_unique<AppState>(ports)), options_(std::move(options)) {
    if (options_.watchTrayHosts) {
        item_ = new StatusNotifierItem(QDBusConnection::sessionBus(), this);
        connect(item_, &StatusNotifierItem::hostChanged, this, &TrayApplication::trayHostChanged);
        connect(item_, &StatusNotifierItem::activated, this, [this](QPoint at) {
            togglePanel(at.isNull() ? std::nullopt : std::optional<QPoint>(at));
        });
        connect(item_, &StatusNotifierItem::secondaryActivated, this,
                &TrayApplication::toggleKeepingAwake);
        connect(item_, &StatusNotifierItem::contextMenuRequested, this,
                [this](QPoint at) { contextMenu()->popup(at.isNull() ? QCursor::pos() : at); });
        // Most hosts never call ContextMenu: they draw the same menu from its dbusmenu export.
        const QString menuPath = QStringLiteral("/MenuBar");
        auto* menu = new DBusMenu(contextMenu(), QDBusConnection::sessionBus(), menuPath, this);
        if (menu->exported())
            item_->setMenu(QDBusObjectPath(menuPath));
        // Taken as in the tray from the start, so that no window flashes up; a refusal
        // falls back.
        if ((hosted_ = item_->hostPresent()))
            item_->registerWithHost();
        // An XEmbed tray announces itself only to those who watch the X root window: asking
        // again each second finds it well within two.
        trayPoll_ = new QTimer(this);
        trayPoll_->setInterval(1000);
        connect(trayPoll_, &QTimer::timeout, this, &TrayApplication::trayCheck);
    }
    if (!hosted_ && options_.trayAvailable)
        makeTrayIcon();
    else if (!hosted_ && trayPoll_)
        trayPoll_->start();
    activeSubscription_ = appState_->isActive.subscribe([this](bool) { updateTray(); });
    pausedSubscription_ = appState_->isPausedOnBattery.subscribe([this](bool) { updateTray(); });
    // A drive in trouble turns the icon red, whatever the switch says.
    troubleSubscriptions_.push_back(
        appState_->volumeMonitor().observeChanges([this] { scheduleTrayUpdate(); }));
    troubleSubscriptions_.push_back(
        appState_->eventLog().observeChanges([this] { scheduleTrayUpdate(); }));
    updateTray();
}

// Every ping changes the list and the log: the icon is worked out once per turn of the loop.
void TrayApplication::scheduleTrayUpdate() {
    if (std::exchange(trayUpdatePending_, true))
        return;
    QTimer::singleShot(0, this, [this] {
        trayUpdatePending_ = false;
        updateTray();
    });
}

void TrayApplication::makeTrayIcon() {
    tray_ = new QSystemTrayIcon(this);
    connect(tray_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
                    togglePanel();
                else if (reason == QSystemTrayIcon::MiddleClick)
                    toggleKeepingAwake();
            });
    // Some trays only ever show the menu, never report a click: the menu opens the panel.
    tray_->setContextMenu(contextMenu());
    shownLook_.reset(); // a new icon has none yet
    updateTray();
    tray_->show();
}

QMenu* TrayApplication::contextMenu() {
    if (menu_)
        return menu_.get();
    auto quit = options_.quit ? options_.quit : [] { QCoreApplication::quit(); };
    menu_ = std::make_unique<QMenu>();
    auto* menu = menu_.get();
    keepAwake_ = menu->addAction(tr("Keep drives awake"), this, [this] { toggleKeepingAwake(); });
    keepAwake_->setCheckable(true);
    keepAwake_->setChecked(appState_->isActive.get());
    menu->addAction(tr("Open Vornix"), this, [this] { showPanel(); });
    menu->addSeparator();
    menu->addAction(tr("Quit"), this, [this, quit] {
        appState_->shutdown();
        quit();
    });
    return menu;
}

void TrayApplication::toggleKeepingAwake() {
    appState_->toggleGlobalActive();
    if (keepAwake_)
        keepAwake_->setChecked(appState_->isActive.get()); // the mark shows a refused switch too
}

void TrayApplication::trayHostChanged(bool hosted) {
    if (hosted == hosted_)
        return;
    hosted_ = hosted;
    if (hosted) {
        delete tray_; // one icon: a desktop with both kinds of tray shows ours in the newer
        tray_ = nullptr;
        trayPoll_->stop();
        if (panel_ && panel_->isVisible())
            panel_->hide(); // the fallback window gives way to the icon
    } else if (item_->hostPresent()) {
        showPanel(); // a watcher that refuses the item is no tray: the window stands in
    } else {
        // Left alone until a tray comes back: a restarting panel must not pop up a window.
        trayCheck();
        if (!tray_)
            trayPoll_->start();
    }
}

void TrayApplication::trayCheck() {
    // Qt counts a StatusNotifierItem host as a tray of its own; ours is registered shortly.
    if (hosted_ || tray_ || item_->hostPresent() || !QSystemTrayIcon::isSystemTrayAvailable())
        return;
    trayPoll_->stop();
    makeTrayIcon();
    if (panel_)
        panel_->hide();
}

// Made when first shown: until then a program sitting in the tray has loaded no fonts and laid
// out no widgets.
Panel* TrayApplication::panel() {
    if (panel_)
        return panel_;
    auto quit = options_.quit ? options_.quit : [] { QCoreApplication::quit(); };
    panel_ = new Panel(
        *appState_, [this] { showAboutPanel(); }, quit);
    panel_->setWindowTitle(QStringLiteral("Vornix"));
    panel_->installEventFilter(this);
    connect(panel_, &Panel::dismissRequested, this, [this] {
        panel_->hide();
        panelClosed();
    });
    return panel_;
}

TrayApplication::~TrayApplication() {
    activeSubscription_.reset();
    pausedSubscription_.reset();
    troubleSubscriptions_.clear();
    delete about_.data();
    delete stillRunning_.data();
    delete panel_;
}

QString TrayApplication::title(bool active, bool pausedOnBattery) {
    if (!active)
        return tr("Drives idle");
    return pausedOnBattery ? tr("Drives awake \u2014 paused on battery") : tr("Drives awake");
}

void TrayApplication::updateTray() {
    const bool active = appState_->isActive.get();
    const bool paused = appState_->isPausedOnBattery.get();
    // Paused, nothing is being kept awake: the icon says so, the title says why.
    const TrayLook look = trayLook(active && !paused, appState_->volumeMonitor().volumes.get(),
                                   appState_->eventLog().events.get());
    const QString text = title(active, paused);
    if (keepAwake_)
        keepAwake_->setChecked(active);
    if (look == shownLook_ && text == shownTitle_)
        return;
    if (tray_) {
        tray_->setIcon(trayIcon(look));
        tray_->setToolTip(text);
    }
    if (item_)
        item_->setAppearance(tr("Vornix \u2014 %1").arg(text), trayIcon(look));
    shownLook_ = look;
    shownTitle_ = text;
}

QRect TrayApplication::panelGeometry(std::optional<QPoint> at) const {
    panel_->adjustSize();
    const QSize size = panel_->sizeHint().expandedTo(panel_->size());
    const QRect icon = tray_ && !at ? tray_->geometry() : QRect();
    const QPoint anchor = icon.isValid() ? icon.center() : at.value_or(QCursor::pos());
    QScreen* screen = QGuiApplication::screenAt(anchor);
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    const QRect area = screen ? screen->availableGeometry() : QRect(QPoint(0, 0), size);

    // Below the icon when it sits in the upper half of the screen, above it otherwise.
    QRect rect(QPoint(anchor.x() - size.width() / 2, 0), size);
    if (anchor.y() < area.center().y())
        rect.moveTop(icon.isValid() ? icon.bottom() + 4 : anchor.y() + 4);
    else
        rect.moveBottom(icon.isValid() ? icon.top() - 4 : anchor.y() - 4);
    // Always fully on screen.
    rect.moveLeft(std::clamp(rect.left(), area.left(),
                             std::max(area.left(), area.right() - size.width() + 1)));
    rect.moveTop(std::clamp(rect.top(), area.top(),
                            std::max(area.top(), area.bottom() - size.height() + 1)));
    return rect;
}

void TrayApplication::showPanel(std::optional<QPoint> at) {
    panel()->refresh();
    // Next to the icon, a frameless tool window rather than a popup (popups are invisible to
    // screen readers). Elsewhere a window with a title bar that the compositor or window
    // manager places and the user can move; the panel fixes its own size, so no maximising.
    const bool nextToIcon = inTray() && !compositorPlaces();
    if (panelNextToIcon_ != nextToIcon) {
        panelNextToIcon_ = nextToIcon;
        panel_->setWindowFlags(nextToIcon
                                   ? Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint
                                   : Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                         Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint);
        // Windows take the icon one by one: set for the whole application, it would also be
        // drawn at every size for the X11 tray icon's own window, and next to the icon for a
        // popup that no taskbar or switcher shows.
        panel_->setWindowIcon(nextToIcon ? QIcon() : applicationIcon());
    }
    if (nextToIcon) {
        panel_->setGeometry(panelGeometry(at));
        if (options_.keepOffTaskbars && !panel_->isVisible()) {
            panel_->winId(); // the window, made before it is mapped
            options_.keepOffTaskbars(*panel_->windowHandle());
        }
    }
    panel_->show();
    panel_->raise();
    panel_->activateWindow();
    if (!nextToIcon && options_.keepFromMaximising)
        options_.keepFromMaximising(*panel_->windowHandle());
}

void TrayApplication::togglePanel(std::optional<QPoint> at) {
    if (panel_ && panel_->isVisible())
        panel_->hide();
    else
        showPanel(at);
}

void TrayApplication::panelClosed() {
    // Closing the window leaves the drives kept awake out of sight: say once where we went.
    if (inTray() || toldStillRunning_ || !appState_->isActive.get())
        return;
    toldStillRunning_ = true;
    stillRunning_ =
        new QMessageBox(QMessageBox::Information, tr("Vornix is still running"),
                        tr("Vornix keeps your drives awake in the background."), QMessageBox::Ok);
    stillRunning_->setInformativeText(
        tr("To bring its window back, start Vornix again from the application menu."));
    stillRunning_->setAttribute(Qt::WA_DeleteOnClose);
    stillRunning_->setWindowModality(Qt::NonModal);
    stillRunning_->setObjectName(QStringLiteral("stillRunning"));
    stillRunning_->setWindowIcon(applicationIcon());
    stillRunning_->show();
}

void TrayApplication::showAboutPanel() {
    if (!about_) {
        about_ = new QMessageBox(QMessageBox::NoIcon, tr("About Vornix"), QStringLiteral("Vornix"),
                                 QMessageBox::Ok);
        about_->setAttribute(Qt::WA_DeleteOnClose);
        about_->setWindowModality(Qt::NonModal);
        about_->setWindowIcon(applicationIcon());
        about_->setIconPixmap(applicationIcon().pixmap(64, 64));
        about_->setTextFormat(Qt::PlainText);
        about_->setInformativeText(
            tr("Keeps external drives spinning and tells you when one disconnects unexpectedly."));
        about_->setObjectName(QStringLiteral("aboutBox"));
        // Room for the credits on one or two lines rather than a narrow column.
        if (auto* grid = qobject_cast<QGridLayout*>(about_->layout())) {
            auto* version =
                new QLabel(tr("Version %1").arg(QCoreApplication::applicationVersion()), about_);
            version->setObjectName(QStringLiteral("aboutVersion"));
            version->setTextInteractionFlags(Qt::TextSelectableByMouse);
            grid->addWidget(version, grid->rowCount(), 1);
            grid->addItem(new QSpacerItem(380, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                          grid->rowCount(), 0, 1, grid->columnCount());
        }
    }
    about_->show();
    about_->raise();
    about_->activateWindow();
}

bool TrayApplication::eventFilter(QObject* watched, QEvent* event) {
    if (watched == panel_ && event->type() == QEvent::Close)
        panelClosed();
    // A click outside the panel takes the focus elsewhere: the panel closes, like a menu.
    if (watched == panel_ && event->type() == QEvent::WindowDeactivate && inTray() &&
        !compositorPlaces()) {
        QWidget* active = QApplication::activeWindow();
        if (!active ||
            (active != panel_ && !panel_->isAncestorOf(active) && active->parentWidget() != panel_))
            panel_->hide();
    }
    return QObject::eventFilter(watched, event);
}

} // namespace vornix
