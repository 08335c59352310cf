#include "virtual_time.h"

#include <algorithm>
#include <cmath>

namespace vornix::testing {

namespace {
/// Cancels on cancel() and, when `byDrop`, also when dropped (a repeating timer).
struct Handle final : DelayedTask, RepeatingTimer {
    Handle(std::shared_ptr<bool> c, bool byDrop) : cancelled(std::move(c)), byDrop(byDrop) {}
    ~Handle() override { // a one-shot handle may be dropped on another thread: it writes nothing
        if (byDrop)
            *cancelled = true;
    }
    void cancel() override { *cancelled = true; }
    std::shared_ptr<bool> cancelled;
    bool byDrop;
};

std::int64_t nanos(double seconds) {
    return std::llround(seconds * 1e9);
}
} // namespace

WallTime VirtualTime::now() const {
    std::lock_guard lock(mutex_);
    return WallTime{} + std::chrono::hours(24 * 365 * 56) +
           std::chrono::duration_cast<WallTime::duration>(std::chrono::nanoseconds(now_));
}

void VirtualTime::schedule(std::int64_t due, Task task, std::shared_ptr<bool> cancelled) {
    std::lock_guard lock(mutex_);
    queue_.emplace(std::pair{now_ + due, sequence_++}, Entry{std::move(task), cancelled});
}

std::shared_ptr<DelayedTask> VirtualTime::postDelayed(double seconds, Task task) {
    auto cancelled = std::make_shared<bool>(false);
    schedule(nanos(seconds), std::move(task), cancelled);
    return std::make_shared<Handle>(cancelled, false);
}

std::unique_ptr<RepeatingTimer> VirtualTime::startRepeating(double intervalSeconds, Task tick) {
    auto cancelled = std::make_shared<bool>(false);
    // Each tick schedules the next one before running the handler, as a timer source does.
    auto fire = std::make_shared<Task>();
    *fire = [this, cancelled, interval = nanos(intervalSeconds), tick = std::move(tick),
             weak = std::weak_ptr<Task>(fire)] {
        schedule(
            interval, [next = weak.lock()] { (*next)(); }, cancelled);
        tick();
    };
    schedule(
        0, [fire] { (*fire)(); }, cancelled);
    return std::make_unique<Handle>(cancelled, true);
}

void VirtualTime::advance(double seconds) {
    std::unique_lock lock(mutex_);
    const std::int64_t target = now_ + nanos(seconds);
    for (auto first = queue_.begin(); first != queue_.end() && first->first.first <= target;
         first = queue_.begin()) {
        now_ = std::max(now_, first->first.first);
        const Entry entry = std::move(first->second);
        queue_.erase(first);
        lock.unlock();
        if (!*entry.cancelled)
            entry.task();
        lock.lock();
    }
    now_ = target;
}

std::size_t VirtualTime::pendingCount() const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(
        queue_.begin(), queue_.end(), [](const auto& e) { return !*e.second.cancelled; }));
}

} // namespace vornix::testing
