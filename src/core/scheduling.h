#pragma once

// Time and scheduling as the core sees them. The program wires these to the Qt event loop and
// the system clock; tests wire them to a virtual clock, so no core test waits on real time.

#include <chrono>
#include <functional>
#include <memory>

namespace vornix {

using WallTime = std::chrono::system_clock::time_point;
using Task = std::function<void()>;

/// "Now" on the wall clock.
class WallClock {
public:
    virtual ~WallClock() = default;
    virtual WallTime now() const = 0;
};

/// Seconds (as the settings and the engine hold them) between two wall-clock times.
inline double secondsBetween(WallTime from, WallTime to) {
    return std::chrono::duration<double>(to - from).count();
}

/// A one-shot task waiting on the main queue.
class DelayedTask {
public:
    virtual ~DelayedTask() = default;
    /// A task cancelled before it began never runs; cancelling after it ran does nothing.
    /// Dropping the handle does not cancel.
    virtual void cancel() = 0;
};

/// A repeating timer on the main queue. Destroying it cancels it, and a cancelled timer never
/// calls its handler again, not even for a tick that was already due.
class RepeatingTimer {
public:
    virtual ~RepeatingTimer() = default;
};

/// The main thread's queue. Tasks run one at a time, in the order they fall due.
class MainQueue {
public:
    virtual ~MainQueue() = default;

    /// Runs `task` on the main thread after the caller has returned. The one operation that
    /// may be called from any thread (workers hand their results back through it).
    virtual void post(Task task) = 0;

    /// Runs `task` on the main thread `seconds` from now. Main thread only.
    virtual std::shared_ptr<DelayedTask> postDelayed(double seconds, Task task) = 0;

    /// Ticks at once (asynchronously: never inside this call) and then every
    /// `intervalSeconds`. Main thread only.
    virtual std::unique_ptr<RepeatingTimer> startRepeating(double intervalSeconds, Task tick) = 0;
};

} // namespace vornix
