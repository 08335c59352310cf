#include "platform/linux/qt_main_queue.h"

#include <QMetaObject>
#include <QTimer>

#include <algorithm>
#include <climits>
#include <cmath>
#include <mutex>

namespace vornix::linux_platform {

int timerMilliseconds(double seconds) {
    if (!(seconds > 0))
        return 0;
    const double ms = std::ceil(seconds * 1000.0);
    return static_cast<int>(std::min(ms, static_cast<double>(INT_MAX)));
}

namespace {

class QtDelayedTask final : public DelayedTask {
public:
    explicit QtDelayedTask(QTimer* timer) : timer_(timer) {}
    void cancel() override {
        if (timer_) {
            timer_->stop();
            timer_->deleteLater();
        }
    }

private:
    QPointer<QTimer> timer_;
};

class QtRepeatingTimer final : public RepeatingTimer {
public:
    QtRepeatingTimer(QObject* parent, double intervalSeconds, Task tick)
        : state_(std::make_shared<State>(State{std::move(tick), true})),
          timer_(new QTimer(parent)) {
        timer_->setTimerType(Qt::PreciseTimer);
        timer_->setInterval(timerMilliseconds(intervalSeconds));
        // The handlers hold the state, not this object: the owner may drop the timer from
        // inside a tick, and the first tick may still be queued when it does.
        auto state = state_;
        QObject::connect(timer_, &QTimer::timeout, timer_, [state] { state->fire(); });
        QPointer<QTimer> timer = timer_;
        QMetaObject::invokeMethod(
            timer_,
            [state, timer] {
                if (!state->alive || !timer)
                    return;
                timer->start();
                state->fire();
            },
            Qt::QueuedConnection);
    }
    ~QtRepeatingTimer() override {
        state_->alive = false;
        if (timer_) {
            timer_->stop();
            timer_->deleteLater();
        }
    }

private:
    struct State {
        Task tick;
        bool alive;
        void fire() {
            if (!alive)
                return;
            auto keep = tick; // survives the owner dropping the timer during the call
            keep();
        }
    };
    std::shared_ptr<State> state_;
    QPointer<QTimer> timer_;
};

} // namespace

struct QtMainQueue::Shared {
    std::mutex mutex;
    QObject* context = nullptr;
};

QtMainQueue::QtMainQueue() : shared_(std::make_shared<Shared>()), context_(new QObject) {
    shared_->context = context_;
}

QtMainQueue::~QtMainQueue() {
    {
        std::lock_guard lock(shared_->mutex);
        shared_->context = nullptr;
    }
    delete context_;
}

void QtMainQueue::post(Task task) {
    std::lock_guard lock(shared_->mutex);
    if (shared_->context)
        QMetaObject::invokeMethod(shared_->context, std::move(task), Qt::QueuedConnection);
}

std::shared_ptr<DelayedTask> QtMainQueue::postDelayed(double seconds, Task task) {
    auto* timer = new QTimer(context_);
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, task = std::move(task)] {
        timer->deleteLater();
        task();
    });
    timer->start(timerMilliseconds(seconds));
    return std::make_shared<QtDelayedTask>(timer);
}

std::unique_ptr<RepeatingTimer> QtMainQueue::startRepeating(double intervalSeconds, Task tick) {
    return std::make_unique<QtRepeatingTimer>(context_, intervalSeconds, std::move(tick));
}

} // namespace vornix::linux_platform
