#include "ui/vornix_app.h"

#include "ui/menu_bar_view.h"
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

namespace vornix {

VornixApp::VornixApp(AppPorts ports, Options options)
    : appState_(std::make_unique<AppState>(ports)), options_(std::move(options)) {
    auto quit = options_.quit ? options_.quit : [] { QCoreApplication::quit(); };

    if (options_.trayAvailable) {
        tray_ = new QSystemTrayIcon(this);
        connect(tray_, &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason reason) {
                    if (reason == QSystemTrayIcon::Trigger ||
                        reason == QSystemTrayIcon::DoubleClick)
                        togglePanel();
                });
        // Some trays only ever show the menu, never report a click: the menu opens the panel.
        menu_ = std::make_unique<QMenu>();
        auto* menu = menu_.get();
        menu->addAction(tr("Open Vornix"), this, [this] { showPanel(); });
        menu->addSeparator();
        menu->addAction(tr("Quit"), this, [this, quit] {
            appState_->shutdown();
            quit();
        });
        tray_->setContextMenu(menu);
        activeSubscription_ = appState_->isActive.subscribe([this](bool) { updateTray(); });
        pausedSubscription_ =
            appState_->isPausedOnBattery.subscribe([this](bool) { updateTray(); });
        // A drive in trouble turns the icon red, whatever the switch says.
        troubleSubscriptions_.push_back(
            appState_->volumeMonitor().observeChanges([this] { updateTray(); }));
        troubleSubscriptions_.push_back(
            appState_->eventLog().observeChanges([this] { updateTray(); }));
        tray_->show();
    }
}

// Made when first shown: until then a program sitting in the tray has loaded no fonts and laid
// out no widgets.
MenuBarView* VornixApp::panel() {
    if (panel_)
        return panel_;
    auto quit = options_.quit ? options_.quit : [] { QCoreApplication::quit(); };
    panel_ = new MenuBarView(
        *appState_, [this] { showAboutPanel(); }, quit);
    panel_->setWindowTitle(QStringLiteral("Vornix"));
    panel_->setWindowIcon(applicationIcon());
    if (options_.trayAvailable) {
        // A frameless tool window rather than a popup: popups are invisible to screen readers.
        panel_->setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
        panel_->installEventFilter(this);
    } else {
        panel_->setWindowFlags(Qt::Window);
    }
    connect(panel_, &MenuBarView::dismissRequested, panel_, &QWidget::hide);
    return panel_;
}

VornixApp::~VornixApp() {
    activeSubscription_.reset();
    pausedSubscription_.reset();
    troubleSubscriptions_.clear();
    delete about_.data();
    delete panel_;
}

QString VornixApp::title(bool active, bool pausedOnBattery) {
    if (!active)
        return tr("Drives idle");
    return pausedOnBattery ? tr("Drives awake \u2014 paused on battery") : tr("Drives awake");
}

void VornixApp::updateTray() {
    const bool active = appState_->isActive.get();
    const bool paused = appState_->isPausedOnBattery.get();
    // Paused, nothing is being kept awake: the icon says so, the title says why.
    const TrayLook look = trayLook(active && !paused, appState_->volumeMonitor().volumes.get(),
                                   appState_->eventLog().events.get());
    if (look != shownLook_)
        tray_->setIcon(trayIcon(look));
    shownLook_ = look;
    tray_->setToolTip(title(active, paused));
}

QRect VornixApp::panelGeometry() const {
    panel_->adjustSize();
    const QSize size = panel_->sizeHint().expandedTo(panel_->size());
    const QRect icon = tray_ ? tray_->geometry() : QRect();
    const QPoint anchor = icon.isValid() ? icon.center() : QCursor::pos();
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

void VornixApp::showPanel() {
    delegate_.appState = appState_.get();
    panel()->refresh();
    if (options_.trayAvailable)
        panel_->setGeometry(panelGeometry());
    panel_->show();
    panel_->raise();
    panel_->activateWindow();
}

void VornixApp::togglePanel() {
    if (panel_ && panel_->isVisible())
        panel_->hide();
    else
        showPanel();
}

void VornixApp::showAboutPanel() {
    if (!about_) {
        about_ = new QMessageBox(QMessageBox::NoIcon, tr("About Vornix"), QStringLiteral("Vornix"),
                                 QMessageBox::Ok);
        about_->setAttribute(Qt::WA_DeleteOnClose);
        about_->setWindowModality(Qt::NonModal);
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

bool VornixApp::eventFilter(QObject* watched, QEvent* event) {
    // A click outside the panel takes the focus elsewhere: the panel closes, like a menu.
    if (watched == panel_ && event->type() == QEvent::WindowDeactivate) {
        QWidget* active = QApplication::activeWindow();
        if (!active ||
            (active != panel_ && !panel_->isAncestorOf(active) && active->parentWidget() != panel_))
            panel_->hide();
    }
    return QObject::eventFilter(watched, event);
}

} // namespace vornix
