#pragma once

class QWindow;

namespace vornix::linux_platform {

/// Asks the window manager to leave `window` out of taskbars and pagers, as it does a popup
/// menu: _NET_WM_STATE_SKIP_TASKBAR and _NET_WM_STATE_SKIP_PAGER, added to the states already
/// asked for. Call it before each showing: a client may set these itself only on a window that
/// is not mapped, and the window manager forgets them when the window is hidden. Does nothing
/// outside X11.
void keepOffTaskbars(QWindow& window);

} // namespace vornix::linux_platform
