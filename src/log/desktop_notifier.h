#pragma once

#include <string>

namespace vornix {

/// A desktop notification as the log composes it. Title and body are plain text: an adapter
/// whose server renders markup escapes them.
struct DesktopNotification {
    std::string identifier; // fresh per notification: a second one never replaces the first
    std::string title;
    std::string body;
    // freedesktop names: the kind of notice, and the sound of the sound theme that goes with it.
    std::string category = "device.removed";
    std::string soundName = "device-removed";
};

/// The desktop's notification service. Posting never blocks or reports anything: a missing
/// server or a refusal drops the notification silently.
class DesktopNotifier {
public:
    virtual ~DesktopNotifier() = default;
    /// Shows the notification at once with the default sound.
    virtual void post(const DesktopNotification& notification) = 0;
};

} // namespace vornix
