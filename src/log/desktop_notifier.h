#pragma once

#include "core/observable.h"

#include <functional>
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

/// How one notification fared.
struct NotificationOutcome {
    enum class Status {
        shown,    // a notification server took it
        noServer, // no server to take it (none running, or no session bus)
        refused,  // the server answered with an error
        noAnswer, // the server did not answer in time
    };
    Status status = Status::shown;
    std::string reason{}; // the bus's or the server's own text; empty when shown

    bool operator==(const NotificationOutcome&) const = default;
};

/// The desktop's notification service. Posting never blocks the caller and never fails: how
/// each notification fared is told afterwards to the outcome watchers.
class DesktopNotifier {
public:
    virtual ~DesktopNotifier() = default;
    /// Shows the notification at once with the default sound.
    virtual void post(const DesktopNotification& notification) = 0;
    /// Calls `handler` on the main thread with the outcome of every notification posted, never
    /// inside post(), until the subscription ends.
    [[nodiscard]] virtual Subscription
    watchOutcomes(std::function<void(const NotificationOutcome&)> handler) = 0;
};

} // namespace vornix
