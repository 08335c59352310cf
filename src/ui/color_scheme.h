#pragma once

#include <QColor>
#include <QPalette>

class QWidget;

namespace vornix {

/// Whether the palette is a dark one: its text lighter than its window.
bool isDark(const QPalette& palette);

/// A dark palette of our own, in the greys of Qt's Fusion style, keeping `from`'s highlight.
QPalette darkPalette(const QPalette& from);

/// Whether the application runs on a palette Vornix made rather than the desktop's own (which
/// is drawn as the user's theme has it, high contrast included).
bool paletteIsOurs();

/// Whether the application runs on its style's stock palette: no desktop theme gave one, so no
/// user chose how controls look (Fusion's light palette outside KDE, for one).
bool paletteIsStock();

/// Follows the desktop's preference for dark (Qt 6.4 reads none): while dark is preferred and
/// the desktop's own palette is light, the application takes darkPalette(); otherwise the
/// desktop's own palette. Returns whether the application's palette changed.
bool preferDarkPalette(bool dark);

/// The colour `widget` is seen on: the background of the nearest of it and its ancestors that
/// fills one (the list inside a scroll area, the window), in `palette` (that of the window,
/// which during a change of palette is new before its children's).
QColor drawnOn(const QWidget& widget, const QPalette& palette);

} // namespace vornix
