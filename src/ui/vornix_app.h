#pragma once

#include "app/app_state.h"
#include "ui/presentation.h"

#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>

#include <functional>
#include <memory>

class QMenu;
class QMessageBox;

namespace vornix {

class MenuBarView;

/// Runs the shutdown on termination, once the panel has been shown (before that nothing can
/// have been started, so there is nothing to release).
struct AppDelegate {
    AppState* appState = nullptr;
    void applicationWillTerminate() {
        if (appState)
            appState->shutdown();
    }
};

/// The application: the one AppState, the tray icon and the panel it opens. Where the desktop
/// has no system tray, the panel is an ordinary small window instead, so the program is never
/// unreachable.
class VornixApp : public QObject {
    Q_OBJECT
public:
    struct Options {
        bool trayAvailable = true;
        std::function<void()> quit; // asks the application to end
    };

    VornixApp(AppPorts ports, Options options);
    ~VornixApp() override;

    AppState& appState() { return *appState_; }
    AppDelegate& delegate() { return delegate_; }
    /// The panel, made on first use.
    MenuBarView* panel();
    QSystemTrayIcon* tray() { return tray_; }

    /// Opens the panel next to the tray icon (or as a window), fully on screen, in front.
    void showPanel();
    void togglePanel();
    /// Brings the application to the front and shows the About box.
    void showAboutPanel();

    /// Shown in the tray's tooltip and as its accessible name.
    static QString title(bool active, bool pausedOnBattery = false);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void updateTray();
    QRect panelGeometry() const;

    AppDelegate delegate_;
    std::unique_ptr<AppState> appState_;
    Options options_;
    QSystemTrayIcon* tray_ = nullptr;
    MenuBarView* panel_ = nullptr;
    std::unique_ptr<QMenu> menu_; // the tray's
    QPointer<QMessageBox> about_;
    Subscription activeSubscription_;
    Subscription pausedSubscription_;
    std::vector<Subscription> troubleSubscriptions_;
    std::optional<TrayLook> shownLook_;
};

} // namespace vornix
