#pragma once

#include "log/log_event.h"

#include <string_view>

namespace vornix {

/// The system log. The adapter is opened once with the application identifier as subsystem
/// and the category "events"; a back end that is missing or refuses drops the line silently.
class SystemLog {
public:
    virtual ~SystemLog() = default;
    virtual void write(LogLevel level, std::string_view message) = 0;
};

} // namespace vornix
