#pragma once

#include "app/app_state.h"
#include "ui/presentation.h"

#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>

#include <functional>
#include <memory>
#include <optional>

class QAction;
class QMenu;
class QMessageBox;
class QTimer;
class QWindow;

namespace vornix {

class DBusMenu;
class Panel;
class StatusNotifierItem;

/// The application: the one AppState, the tray icon and the panel it opens. The icon is our own
/// StatusNotifierItem where a watcher runs, Qt's (XEmbed) tray icon elsewhere. Where the desktop
/// has no system tray, the panel is an ordinary small window instead, so the program is never
/// unreachable; a tray that turns up later takes over from that window.
class TrayApplication : public QObject {
    Q_OBJECT
public:
    struct Options {
        bool trayAvailable = true;
        /// Exports the StatusNotifierItem on the session bus and watches for tray hosts that
        /// start (or restart) after us.
        bool watchTrayHosts = false;
        std::function<void()> quit; // asks the application to end
        /// Keeps a window out of taskbars and pagers; called on the panel before it is shown
        /// next to the icon, a popup rather than an application window.
        std::function<void(QWindow&)> keepOffTaskbars;
        /// Keeps a window of one size from being maximised; called on the panel each time it
        /// is shown as a window of its own.
        std::function<void(QWindow&)> keepFromMaximising;
    };

    TrayApplication(AppPorts ports, Options options);
    ~TrayApplication() override;

    AppState& appState() { return *appState_; }
    /// The panel, made on first use.
    Panel* panel();
    QSystemTrayIcon* tray() { return tray_; }
    /// Whether an icon of ours is in a tray (either kind); if not, the panel is the window.
    bool inTray() const { return tray_ || hosted_; }

    /// Opens the panel next to the tray icon, or next to `at` (a click on a tray host), or as a
    /// window; fully on one screen, in front.
    void showPanel(std::optional<QPoint> at = std::nullopt);
    void togglePanel(std::optional<QPoint> at = std::nullopt);
    /// Brings the application to the front and shows the About box.
    void showAboutPanel();
    /// Switches keeping awake on or off, as the tray menu's first entry and a middle click on
    /// the icon do.
    void toggleKeepingAwake();

    /// Shown in the tray's tooltip and as its accessible name.
    static QString title(bool active, bool pausedOnBattery = false);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void updateTray();
    void scheduleTrayUpdate();
    void makeTrayIcon();
    void trayHostChanged(bool hosted);
    void trayCheck();
    void panelClosed();
    QMenu* contextMenu();
    QRect panelGeometry(std::optional<QPoint> at) const;

    std::unique_ptr<AppState> appState_;
    Options options_;
    QSystemTrayIcon* tray_ = nullptr;
    StatusNotifierItem* item_ = nullptr;
    bool hosted_ = false; // a StatusNotifierItem host has taken the item
    QTimer* trayPoll_ = nullptr;
    Panel* panel_ = nullptr;
    std::optional<bool> panelNextToIcon_; // the window kind last given to the panel
    std::unique_ptr<QMenu> menu_;         // the tray's
    QAction* keepAwake_ = nullptr;        // its check mark follows the switch
    QPointer<QMessageBox> about_;
    QPointer<QMessageBox> stillRunning_;
    bool toldStillRunning_ = false;
    Subscription activeSubscription_;
    Subscription pausedSubscription_;
    std::vector<Subscription> troubleSubscriptions_;
    std::optional<TrayLook> shownLook_;
    QString shownTitle_;
    bool trayUpdatePending_ = false;
};

} // namespace vornix
