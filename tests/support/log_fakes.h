#pragma once

#include "log/desktop_notifier.h"
#include "log/system_log.h"

#include <string>
#include <utility>
#include <vector>

namespace vornix::testing {

class RecordingSystemLog final : public SystemLog {
public:
    void write(LogLevel level, std::string_view message) override {
        lines.emplace_back(level, std::string(message));
    }
    std::vector<std::pair<LogLevel, std::string>> lines;
};

class RecordingNotifier final : public DesktopNotifier {
public:
    void post(const DesktopNotification& notification) override { posted.push_back(notification); }
    Subscription watchOutcomes(std::function<void(const NotificationOutcome&)> h) override {
        handler = std::move(h);
        return Subscription([this] { handler = nullptr; });
    }
    std::vector<DesktopNotification> posted;
    std::function<void(const NotificationOutcome&)> handler; // how a post fared, told by the test
};

} // namespace vornix::testing
