#pragma once

#include <QIcon>

namespace vornix {

/// The tray icon for each state: a drive with a check badge (awake) or a cross badge (idle),
/// drawn with a light body and a dark outline so it reads on light and dark panels, at every
/// size trays ask for, HiDPI included.
QIcon trayIcon(bool awake);

/// The application's own icon (the awake drive).
QIcon applicationIcon();

} // namespace vornix
