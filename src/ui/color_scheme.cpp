#include "ui/color_scheme.h"

#include <QApplication>
#include <QStyle>
#include <QWidget>

#include <algorithm>
#include <array>

namespace vornix {

bool isDark(const QPalette& palette) {
    return palette.color(QPalette::WindowText).lightnessF() >
           palette.color(QPalette::Window).lightnessF();
}

QPalette darkPalette(const QPalette& from) {
    const QColor window(0x32, 0x32, 0x32);
    const QColor text(0xf0, 0xf0, 0xf0);
    const QColor disabledText(0x8c, 0x8c, 0x8c);
    QPalette dark = from;
    for (const auto& [role, color] : {std::pair{QPalette::Window, window},
                                      {QPalette::WindowText, text},
                                      {QPalette::Base, window.darker(140)},
                                      {QPalette::AlternateBase, window.darker(120)},
                                      {QPalette::Text, text},
                                      {QPalette::PlaceholderText, QColor(0xa8, 0xa8, 0xa8)},
                                      {QPalette::Button, window.lighter(120)},
                                      {QPalette::ButtonText, text},
                                      {QPalette::BrightText, QColor(Qt::white)},
                                      {QPalette::ToolTipBase, window.lighter(130)},
                                      {QPalette::ToolTipText, text},
                                      {QPalette::Light, window.lighter(150)},
                                      {QPalette::Midlight, window.lighter(125)},
                                      {QPalette::Mid, window.darker(130)},
                                      {QPalette::Dark, window.darker(150)},
                                      {QPalette::Shadow, QColor(Qt::black)},
                                      {QPalette::HighlightedText, QColor(Qt::white)},
                                      {QPalette::Link, QColor(0x6c, 0xb4, 0xee)},
                                      {QPalette::LinkVisited, QColor(0xb4, 0x8c, 0xe6)}})
        dark.setColor(role, color);
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        dark.setColor(QPalette::Disabled, role, disabledText);
    dark.setColor(QPalette::Disabled, QPalette::Base, window);
    return dark;
}

bool paletteIsOurs() {
    // Only preferDarkPalette() sets the application's palette.
    return QCoreApplication::testAttribute(Qt::AA_SetPalette);
}

bool paletteIsStock() {
    const QPalette palette = QApplication::palette();
    const QPalette stock = QApplication::style()->standardPalette();
    return std::ranges::all_of(std::array{QPalette::Window, QPalette::WindowText, QPalette::Base},
                               [&](auto role) { return palette.color(role) == stock.color(role); });
}

bool preferDarkPalette(bool dark) {
    if (paletteIsOurs() == dark)
        return false;
    if (!dark)
        QApplication::setPalette(QPalette()); // nothing set: the desktop's own
    else if (!isDark(QApplication::palette()))
        QApplication::setPalette(darkPalette(QApplication::palette()));
    return paletteIsOurs() == dark;
}

QColor drawnOn(const QWidget& widget, const QPalette& palette) {
    for (const QWidget* w = &widget; w; w = w->parentWidget())
        if (w->autoFillBackground() || w->isWindow())
            return palette.color(w->backgroundRole());
    return palette.color(QPalette::Window);
}

} // namespace vornix
