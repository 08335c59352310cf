#pragma once

#include "ui/presentation.h"

#include <QIcon>

namespace vornix {

/// The tray icon for each look: a plain drive (idle), a drive with a green check (awake), a
/// drive with a red exclamation mark (trouble), drawn with a light body and a dark outline so
/// it reads on light and dark panels, at every size trays ask for, HiDPI included.
QIcon trayIcon(TrayLook look);

/// The application's own icon (the awake drive).
QIcon applicationIcon();

} // namespace vornix
