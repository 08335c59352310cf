#include "virtual_time.h"

#include <cmath>

namespace vornix::testing {

namespace {
class VirtualDelayedTask final : public DelayedTask {
public:
    explicit VirtualDelayedTask(std::shared_ptr<bool> cancelled)
        : cancelled_(std::move(cancelled)) {}
    void cancel() override { *cancelled_ = true; }

private:
    std::shared_ptr<bool> cancelled_;
};

class VirtualRepeatingTimer final : public RepeatingTimer {
public:
    explicit VirtualRepeatingTimer(std::shared_ptr<bool> cancelled)
        : cancelled_(std::move(cancelled)) {}
    ~VirtualRepeatingTimer() override { *cancelled_ = true; }

private:
    std::shared_ptr<bool> cancelled_;
};
} // namespace

VirtualTime::VirtualTime(WallTime start) : start_(start) {}

VirtualTime::Nanos VirtualTime::toNanos(double seconds) {
    return Nanos(static_cast<std::int64_t>(std::llround(seconds * 1e9)));
}

WallTime VirtualTime::now() const {
    std::lock_guard lock(mutex_);
    return start_ + std::chrono::duration_cast<WallTime::duration>(now_);
}

void VirtualTime::schedule(Nanos due, Task task, std::shared_ptr<bool> cancelled) {
    std::lock_guard lock(mutex_);
    queue_.emplace(std::pair{due, sequence_++}, Entry{std::move(task), std::move(cancelled)});
}

void VirtualTime::post(Task task) {
    Nanos due;
    {
        std::lock_guard lock(mutex_);
        due = now_;
    }
    schedule(due, std::move(task), std::make_shared<bool>(false));
}

std::shared_ptr<DelayedTask> VirtualTime::postDelayed(double seconds, Task task) {
    auto cancelled = std::make_shared<bool>(false);
    Nanos due;
    {
        std::lock_guard lock(mutex_);
        due = now_ + toNanos(seconds);
    }
    schedule(due, std::move(task), cancelled);
    return std::make_shared<VirtualDelayedTask>(cancelled);
}

std::unique_ptr<RepeatingTimer> VirtualTime::startRepeating(double intervalSeconds, Task tick) {
    auto cancelled = std::make_shared<bool>(false);
    const Nanos interval = toNanos(intervalSeconds);
    // Each tick schedules the next one before running the handler, as a timer source does.
    auto fire = std::make_shared<std::function<void(Nanos)>>();
    std::weak_ptr<std::function<void(Nanos)>> weakFire = fire;
    *fire = [this, cancelled, interval, tick = std::move(tick), weakFire](Nanos due) {
        if (*cancelled)
            return;
        if (auto next = weakFire.lock()) {
            const Nanos nextDue = due + interval;
            schedule(
                nextDue, [next, nextDue] { (*next)(nextDue); }, cancelled);
        }
        tick();
    };
    Nanos due;
    {
        std::lock_guard lock(mutex_);
        due = now_;
    }
    schedule(
        due, [fire, due] { (*fire)(due); }, cancelled);
    return std::make_unique<VirtualRepeatingTimer>(cancelled);
}

void VirtualTime::advance(double seconds) {
    Nanos target;
    {
        std::lock_guard lock(mutex_);
        target = now_ + toNanos(seconds);
    }
    for (;;) {
        Entry entry;
        {
            std::lock_guard lock(mutex_);
            auto it = queue_.begin();
            if (it == queue_.end() || it->first.first > target) {
                now_ = target;
                return;
            }
            now_ = std::max(now_, it->first.first);
            entry = std::move(it->second);
            queue_.erase(it);
        }
        if (!*entry.cancelled)
            entry.task();
    }
}

std::size_t VirtualTime::pendingCount() const {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto& [key, entry] : queue_)
        n += *entry.cancelled ? 0 : 1;
    return n;
}

} // namespace vornix::testing
