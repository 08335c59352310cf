#include "ui/switch_toggle.h"

#include "ui/color_scheme.h"
#include "ui/presentation.h"

#include <QPainter>
#include <QStyleOption>

namespace vornix {

namespace {
constexpr int spacing = 8;
}

SwitchToggle::SwitchToggle(const QString& text, QWidget* parent) : QCheckBox(text, parent) {
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(text.isEmpty() ? QSizePolicy::Fixed : QSizePolicy::Preferred, QSizePolicy::Fixed);
}

QSize SwitchToggle::trackSize() const {
    const int h = std::max(16, fontMetrics().height());
    return {h * 2 - 2, h};
}

QSize SwitchToggle::sizeHint() const {
    const QSize track = trackSize();
    if (text().isEmpty())
        return track + QSize(2, 2);
    const QSize label = fontMetrics().size(Qt::TextShowMnemonic, text());
    return {label.width() + spacing + track.width() + 2,
            std::max(label.height(), track.height()) + 2};
}

bool SwitchToggle::hitButton(const QPoint& pos) const {
    return rect().contains(pos);
}

void SwitchToggle::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QPalette& pal = palette();
    const QSize track = trackSize();
    const QRect trackRect(width() - track.width() - 1, (height() - track.height()) / 2,
                          track.width(), track.height());

    if (!text().isEmpty()) {
        p.setPen(
            pal.color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
        p.drawText(QRect(0, 0, trackRect.left() - spacing, height()),
                   Qt::AlignVCenter | Qt::AlignLeft | Qt::TextShowMnemonic, text());
    }

    const bool on = isChecked();
    QColor fill = readableOn(pal.color(on ? QPalette::Highlight : QPalette::Mid),
                             drawnOn(*this, pal), controlContrast);
    if (!isEnabled())
        fill.setAlphaF(0.4f);
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    const qreal radius = trackRect.height() / 2.0;
    p.drawRoundedRect(trackRect, radius, radius);

    const int knob = trackRect.height() - 4;
    const int x = on ? trackRect.right() - knob - 1 : trackRect.left() + 2;
    QColor knobColor(Qt::white);
    if (!isEnabled())
        knobColor.setAlphaF(0.7f);
    p.setBrush(knobColor);
    p.drawEllipse(QRect(x, trackRect.top() + 2, knob, knob));

    if (hasFocus()) {
        QPen focus(pal.color(QPalette::Highlight), 2);
        p.setPen(focus);
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(trackRect.adjusted(-1, -1, 1, 1), radius + 1, radius + 1);
    }
}

void OutlinedCheckBox::paintEvent(QPaintEvent* event) {
    QCheckBox::paintEvent(event);
    if (!paletteIsOurs() && !paletteIsStock())
        return;
    QStyleOptionButton option;
    initStyleOption(&option);
    const QRect box = style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, this);
    QPainter p(this);
    p.setPen(
        readableOn(palette().color(QPalette::Mid), drawnOn(*this, palette()), controlContrast));
    p.drawRect(box.adjusted(0, 0, -1, -1));
}

} // namespace vornix
