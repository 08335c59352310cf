#pragma once

#include <string_view>

namespace vornix {

/// The system's idle inhibition: while held, neither the desktop nor logind puts the machine to
/// sleep for lack of user activity. A suspend the user asks for is never blocked. Main thread only.
class IdleInhibitor {
public:
    virtual ~IdleInhibitor() = default;

    /// Asks for an inhibition shown to the user as `reason`. True when the system granted it; a
    /// refusal is not an error and is never retried. Returns within a short, bounded time. Called
    /// only while nothing is held.
    virtual bool inhibit(std::string_view reason) = 0;

    /// Ends the inhibition that `inhibit` took, if any. Never fails as far as the caller can
    /// tell: whatever goes wrong, nothing counts as held afterwards.
    virtual void release() = 0;
};

} // namespace vornix
