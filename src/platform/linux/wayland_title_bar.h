#pragma once

class QWindow;

namespace vornix::linux_platform {

/// Where the compositor draws no frames (GNOME, weston), Qt draws a title bar of its own on a
/// Wayland window, with a maximise button even on a window of one size: pressed, the
/// compositor moves the window to a corner, or drops the program's connection as the window
/// keeps its size. This lays an empty surface over that button, which takes its clicks and
/// does nothing with them. Call it whenever `window` is shown; elsewhere it does nothing.
void shieldMaximiseButton(QWindow& window);

/// Qt's title bar takes its colours from the application's palette when it is made: this
/// remakes those of every window, after a change of palette.
void redrawTitleBars();

} // namespace vornix::linux_platform
