#pragma once

#include "core/scheduling.h"

#include <QObject>
#include <QPointer>

#include <memory>

namespace vornix::linux_platform {

/// The main queue on the Qt event loop of the thread that created it.
class QtMainQueue final : public MainQueue {
public:
    QtMainQueue();
    ~QtMainQueue() override;

    void post(Task task) override;
    std::shared_ptr<DelayedTask> postDelayed(double seconds, Task task) override;
    std::unique_ptr<RepeatingTimer> startRepeating(double intervalSeconds, Task tick) override;

private:
    struct Shared;
    // Tasks are delivered through a context object owned here, so none runs once the queue is
    // gone; a worker that posts after that (it was stuck in the kernel past quitting) is dropped.
    std::shared_ptr<Shared> shared_;
    QObject* context_;
};

/// The system clock.
class SystemWallClock final : public WallClock {
public:
    WallTime now() const override { return std::chrono::system_clock::now(); }
};

/// Milliseconds for a QTimer, clamped to what it accepts.
int timerMilliseconds(double seconds);

} // namespace vornix::linux_platform
