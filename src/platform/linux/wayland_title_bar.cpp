#include "platform/linux/wayland_title_bar.h"

#include <QGuiApplication>
#include <QPainter>
#include <QRasterWindow>

namespace vornix::linux_platform {

namespace {

bool wayland() {
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

// The title bar Qt 6 draws (its "bradient" decoration) has buttons 18 pixels square, 5 apart,
// the rightmost 8 from the frame's right edge, centred in the bar: close, maximise, minimise.
constexpr int buttonSize = 18;
constexpr int buttonGap = 5;
constexpr int rightGap = 8;

class EmptySurface : public QRasterWindow {
public:
    using QRasterWindow::QRasterWindow;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.fillRect(QRect(QPoint(), size()), Qt::transparent);
    }
};

} // namespace

void shieldMaximiseButton(QWindow& window) {
    const QMargins frame = window.frameMargins();
    if (!wayland() || frame.isNull()) // no title bar of Qt's
        return;
    auto* shield = window.findChild<EmptySurface*>(QString(), Qt::FindDirectChildrenOnly);
    if (!shield) {
        shield = new EmptySurface(&window);
        QSurfaceFormat format = shield->format();
        format.setAlphaBufferSize(8);
        shield->setFormat(format);
    }
    // In the window's own coordinates, which start below and inside the frame.
    shield->setGeometry(window.width() + frame.right() - rightGap - 2 * buttonSize - buttonGap,
                        (frame.top() - buttonSize) / 2 - frame.top(), buttonSize, buttonSize);
    shield->show();
}

void redrawTitleBars() {
    if (!wayland())
        return;
    for (QWindow* window : QGuiApplication::topLevelWindows()) {
        // A new one is made when a window that had none gets one again. None is drawn on a
        // frameless window, or where the compositor draws the frames.
        if (!window->handle() || window->frameMargins().isNull())
            continue;
        const Qt::WindowFlags flags = window->flags();
        window->setFlags(flags | Qt::FramelessWindowHint);
        window->setFlags(flags);
    }
}

} // namespace vornix::linux_platform
