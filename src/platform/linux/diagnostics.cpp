#include "platform/linux/diagnostics.h"

#include <syslog.h>
#include <unistd.h>

// The code location would be this file's, not the message's.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

#include <cstdio>
#include <cstring>

namespace vornix::linux_platform {

Q_LOGGING_CATEGORY(volumesLog, "vornix.volumes", QtInfoMsg)
Q_LOGGING_CATEGORY(dbusLog, "vornix.dbus", QtInfoMsg)
Q_LOGGING_CATEGORY(powerLog, "vornix.power", QtInfoMsg)
Q_LOGGING_CATEGORY(notifyLog, "vornix.notify", QtInfoMsg)
Q_LOGGING_CATEGORY(settingsLog, "vornix.settings", QtInfoMsg)
Q_LOGGING_CATEGORY(autostartLog, "vornix.autostart", QtInfoMsg)
Q_LOGGING_CATEGORY(drivesLog, "vornix.drives", QtInfoMsg)

void sendQtMessageToJournal(QtMsgType type, const QMessageLogContext& context,
                            const QString& message) {
    int priority = LOG_INFO;
    switch (type) {
    case QtDebugMsg:
        priority = LOG_DEBUG;
        break;
    case QtInfoMsg:
        priority = LOG_INFO;
        break;
    case QtWarningMsg:
        priority = LOG_WARNING;
        break;
    case QtCriticalMsg:
        priority = LOG_ERR;
        break;
    case QtFatalMsg:
        priority = LOG_CRIT;
        break;
    }
    const QByteArray text = message.toUtf8();
    const char* category = context.category ? context.category : "default";
    const int sent =
        sd_journal_send("MESSAGE=%s", text.constData(), "PRIORITY=%i", priority,
                        "SYSLOG_IDENTIFIER=vornix", "QT_CATEGORY=%s", category, nullptr);
    if (sent < 0 || ::isatty(STDERR_FILENO)) {
        const QByteArray line = qFormatLogMessage(type, context, message).toLocal8Bit();
        std::fprintf(stderr, "%s\n", line.constData());
    }
}

std::string systemErrorText(int error) {
    if (error == 0)
        return "unknown error"; // never "Success"
    char buffer[256];
    // The GNU variant: returns the text, which may or may not be in `buffer`.
    return ::strerror_r(error, buffer, sizeof buffer);
}

} // namespace vornix::linux_platform
