#pragma once

#include "core/scheduling.h"

#include <map>
#include <memory>
#include <mutex>

namespace vornix::testing {

/// A main queue and wall clock on virtual time. Nothing runs until the test advances time;
/// advancing runs every task that falls due, in order of due time and then of posting,
/// including tasks posted by the tasks it runs. `post` may be called from any thread.
class VirtualTime final : public MainQueue, public WallClock {
public:
    WallTime now() const override;
    void post(Task task) override { postDelayed(0, std::move(task)); }
    std::shared_ptr<DelayedTask> postDelayed(double seconds, Task task) override;
    std::unique_ptr<RepeatingTimer> startRepeating(double intervalSeconds, Task tick) override;

    /// Moves the clock forward by `seconds`, running what falls due on the way.
    void advance(double seconds);
    /// Runs what is due now, without moving the clock.
    void runPending() { advance(0); }
    /// Tasks waiting, cancelled ones excluded.
    std::size_t pendingCount() const;

private:
    struct Entry {
        Task task;
        std::shared_ptr<bool> cancelled;
    };
    void schedule(std::int64_t due, Task task, std::shared_ptr<bool> cancelled);

    mutable std::mutex mutex_;
    std::int64_t now_ = 0; // nanoseconds since a fixed start in 2026
    std::uint64_t sequence_ = 0;
    std::map<std::pair<std::int64_t, std::uint64_t>, Entry> queue_;
};

} // namespace vornix::testing
