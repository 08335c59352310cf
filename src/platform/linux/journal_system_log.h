#pragma once

#include "log/system_log.h"

#include <string>

namespace vornix::linux_platform {

/// Writes each line to journald as SYSLOG_IDENTIFIER=vornix, with the subsystem and category
/// as fields of their own (VORNIX_SUBSYSTEM, VORNIX_CATEGORY). No journald: dropped silently.
class JournalSystemLog final : public SystemLog {
public:
    JournalSystemLog(std::string subsystem, std::string category);
    void write(LogLevel level, std::string_view message) override;

private:
    std::string subsystem_;
    std::string category_;
};

} // namespace vornix::linux_platform
