#include "ui/tray_icons.h"

#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <algorithm>

namespace vornix {

namespace {

QPixmap drawDrive(int size, TrayLook look) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;
    const qreal stroke = std::max<qreal>(1.0, s / 16.0);

    // The drive: a rounded box in the lower part, with a status light.
    const QRectF body(s * 0.06, s * 0.30, s * 0.80, s * 0.46);
    p.setPen(QPen(QColor(0x20, 0x20, 0x20), stroke));
    p.setBrush(QColor(0xf2, 0xf2, 0xf2));
    p.drawRoundedRect(body, s * 0.10, s * 0.10);
    p.setPen(QPen(QColor(0x20, 0x20, 0x20), stroke * 0.8));
    p.drawLine(QPointF(body.left() + s * 0.10, body.center().y() + s * 0.08),
               QPointF(body.right() - s * 0.30, body.center().y() + s * 0.08));
    p.setPen(Qt::NoPen);
    const bool awake = look == TrayLook::awake;
    p.setBrush(awake ? QColor(0x2f, 0xa8, 0x4f) : QColor(0x8a, 0x8a, 0x8a));
    p.drawEllipse(QPointF(body.right() - s * 0.14, body.center().y() + s * 0.08), s * 0.05,
                  s * 0.05);

    if (look == TrayLook::idle)
        return pixmap; // idle is a normal state: no badge

    // The badge, bottom right, outlined in white so it stands out on any panel.
    const QPointF c(s * 0.74, s * 0.74);
    const qreal r = s * 0.25;
    p.setPen(QPen(Qt::white, stroke));
    p.setBrush(awake ? QColor(0x2f, 0xa8, 0x4f) : QColor(0xdc, 0x35, 0x2f));
    p.drawEllipse(c, r, r);
    QPen mark(Qt::white, std::max<qreal>(1.2, s / 11.0), Qt::SolidLine, Qt::RoundCap,
              Qt::RoundJoin);
    p.setPen(mark);
    p.setBrush(Qt::NoBrush);
    if (awake) {
        QPainterPath check;
        check.moveTo(c.x() - r * 0.50, c.y() + r * 0.02);
        check.lineTo(c.x() - r * 0.12, c.y() + r * 0.40);
        check.lineTo(c.x() + r * 0.52, c.y() - r * 0.38);
        p.drawPath(check);
    } else {
        p.drawLine(QPointF(c.x(), c.y() - r * 0.50), QPointF(c.x(), c.y() + r * 0.08));
        p.drawPoint(QPointF(c.x(), c.y() + r * 0.45));
    }
    return pixmap;
}

// Drawn at the size asked for, when asked: a set of ready pixmaps up to 256 px would keep
// 400 KiB per icon in memory for a tray that shows one small size.
class DriveIconEngine final : public QIconEngine {
public:
    explicit DriveIconEngine(TrayLook look) : look_(look) {}
    void paint(QPainter* painter, const QRect& rect, QIcon::Mode, QIcon::State) override {
        painter->drawPixmap(rect, drawDrive(std::min(rect.width(), rect.height()), look_));
    }
    QPixmap pixmap(const QSize& size, QIcon::Mode, QIcon::State) override {
        return drawDrive(std::max(1, std::min(size.width(), size.height())), look_);
    }
    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override {
        QList<QSize> sizes;
        for (int size : {16, 22, 24, 32, 44, 48, 64, 96, 128, 256})
            sizes.append(QSize(size, size));
        return sizes;
    }
    QIconEngine* clone() const override { return new DriveIconEngine(look_); }

private:
    TrayLook look_;
};

} // namespace

QIcon trayIcon(TrayLook look) {
    return QIcon(new DriveIconEngine(look));
}

QIcon applicationIcon() {
    // The installed theme icon where there is one; the drawn one for a build tree.
    return QIcon::fromTheme(QStringLiteral(VORNIX_APP_ID), trayIcon(TrayLook::awake));
}

} // namespace vornix
