#include "platform/linux/journal_system_log.h"

#include <syslog.h>
#include <systemd/sd-journal.h>

namespace vornix::linux_platform {

JournalSystemLog::JournalSystemLog(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

void JournalSystemLog::write(LogLevel level, std::string_view message) {
    const int priority = level == LogLevel::error     ? LOG_ERR
                         : level == LogLevel::warning ? LOG_WARNING
                                                      : LOG_INFO;
    const std::string text(message);
    // The message is passed as an argument, never as a format: volume names are not trusted.
    sd_journal_send("MESSAGE=%s", text.c_str(), "PRIORITY=%i", priority, "SYSLOG_IDENTIFIER=vornix",
                    "VORNIX_SUBSYSTEM=%s", subsystem_.c_str(), "VORNIX_CATEGORY=%s",
                    category_.c_str(), nullptr);
}

} // namespace vornix::linux_platform
