#pragma once

// What the adapters say about themselves, for whoever looks into a problem: one Qt logging
// category per concern, and where Qt's messages go. Debug messages are off unless asked for,
// e.g. QT_LOGGING_RULES="vornix.*.debug=true" or "vornix.volumes.debug=true".

#include <QLoggingCategory>
#include <QString>

#include <string>

namespace vornix::linux_platform {

Q_DECLARE_LOGGING_CATEGORY(volumesLog)   // vornix.volumes: mount table, block devices
Q_DECLARE_LOGGING_CATEGORY(dbusLog)      // vornix.dbus: our bus name, the single instance
Q_DECLARE_LOGGING_CATEGORY(powerLog)     // vornix.power: idle inhibition, sleep, battery
Q_DECLARE_LOGGING_CATEGORY(notifyLog)    // vornix.notify: desktop notifications
Q_DECLARE_LOGGING_CATEGORY(settingsLog)  // vornix.settings: the settings file
Q_DECLARE_LOGGING_CATEGORY(autostartLog) // vornix.autostart: the autostart entry
Q_DECLARE_LOGGING_CATEGORY(drivesLog)    // vornix.drives: udisks2, drive power and health

/// A Qt message handler: each message becomes one journal entry, SYSLOG_IDENTIFIER=vornix, its
/// category in QT_CATEGORY and its type as the priority (debug 7, info 6, warning 4, critical 3,
/// fatal 2). It is also printed on stderr while that is a terminal, or when the journal cannot
/// take it. Safe from any thread.
void sendQtMessageToJournal(QtMsgType type, const QMessageLogContext& context,
                            const QString& message);

/// The system's text for an error number; 0, an error the system did not name, never reads as
/// success.
std::string systemErrorText(int error);

} // namespace vornix::linux_platform
