// The yardstick for the tray program's resident memory: a Qt tray icon with a menu and nothing
// else, built with the same Qt and flags. scripts/measure-footprint runs both side by side.
#include <QApplication>
#include <QIcon>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("MinimalTray"));
    app.setQuitOnLastWindowClosed(false);
    QPixmap pixmap(64, 64);
    pixmap.fill(Qt::transparent);
    QPainter(&pixmap).fillRect(8, 16, 48, 32, Qt::darkGray);
    QMenu menu;
    QObject::connect(menu.addAction(QStringLiteral("Quit")), &QAction::triggered, &app,
                     &QApplication::quit);
    QSystemTrayIcon icon{QIcon(pixmap)};
    icon.setContextMenu(&menu);
    icon.show();
    return app.exec();
}
