#include "engine/worker_pool.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace vornix {

struct WorkerPool::State {
    State(MainQueue& queue, Options opts) : mainQueue(&queue), options(opts) {}

    std::mutex mutex;
    std::condition_variable wake;
    MainQueue* mainQueue; // under `mutex` off the main thread; null once the pool is gone
    const Options options;
    bool open = true;
    std::deque<WorkerJob> jobs;
    std::size_t threads = 0;
    std::size_t idle = 0;
    std::size_t started = 0;
    std::uint64_t taken = 0; // jobs a worker has begun

    // Results not yet handed to the main thread, newest first. Workers push under `mutex`; the
    // main thread takes them all without it, so it never waits for a worker.
    struct Result {
        Task task;
        Result* next;
    };
    std::atomic<Result*> results{nullptr};
    std::atomic<bool> handOverDue{false}; // a hand-over is posted or running

    // Main thread only.
    std::uint64_t submitted = 0;
    bool graceArmed = false;
    std::uint64_t waitingUpTo = 0; // jobs submitted when the grace period began
    std::shared_ptr<DelayedTask> graceTimer;

    ~State() {
        for (auto* node = results.load(); node;)
            delete std::exchange(node, node->next);
    }
};

WorkerPool::WorkerPool(MainQueue& mainQueue) : WorkerPool(mainQueue, Options{}) {}

WorkerPool::WorkerPool(MainQueue& mainQueue, Options options)
    : state_(std::make_shared<State>(mainQueue, options)) {}

WorkerPool::~WorkerPool() {
    std::deque<WorkerJob> unstarted;
    {
        std::lock_guard lock(state_->mutex);
        state_->open = false;
        state_->mainQueue = nullptr;
        unstarted.swap(state_->jobs);
    }
    state_->wake.notify_all();
    if (auto timer = std::exchange(state_->graceTimer, nullptr))
        timer->cancel();
}

void WorkerPool::submitAll(std::vector<WorkerJob> jobs) {
    if (jobs.empty())
        return;
    auto& s = *state_;
    std::size_t toStart = 0;
    bool wake = false, backlog = false;
    {
        std::lock_guard lock(s.mutex);
        for (auto& job : jobs)
            s.jobs.push_back(std::move(job));
        wake = s.idle > 0;
        const auto uncovered = s.jobs.size() > s.idle ? s.jobs.size() - s.idle : 0;
        const auto floor = std::max<std::size_t>(s.options.minIdleWorkers, 1);
        if (s.threads < floor)
            toStart = std::min(uncovered, floor - s.threads);
        backlog = uncovered > toStart;
    }
    s.submitted += jobs.size();
    if (wake)
        s.wake.notify_one(); // the woken worker wakes the next while jobs remain
    if (!startWorkers(state_, toStart) || backlog)
        armGrace(state_);
}

bool WorkerPool::startWorkers(const std::shared_ptr<State>& state, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        {
            std::lock_guard lock(state->mutex);
            ++state->threads;
            ++state->started;
        }
        try {
            std::thread(&WorkerPool::work, state).detach();
        } catch (const std::system_error&) {
            // No thread to be had now: the grace period tries again.
            std::lock_guard lock(state->mutex);
            --state->threads;
            --state->started;
            return false;
        }
    }
    return true;
}

void WorkerPool::armGrace(const std::shared_ptr<State>& state) {
    auto& s = *state;
    if (s.graceArmed || !s.mainQueue)
        return;
    s.graceArmed = true;
    s.waitingUpTo = s.submitted;
    std::weak_ptr<State> weak = state;
    s.graceTimer =
        s.mainQueue->postDelayed(std::chrono::duration<double>(s.options.grace).count(), [weak] {
            if (auto locked = weak.lock())
                graceEnded(locked);
        });
}

void WorkerPool::graceEnded(const std::shared_ptr<State>& state) {
    auto& s = *state;
    s.graceArmed = false;
    bool start = false;
    {
        std::lock_guard lock(s.mutex);
        if (!s.open || s.jobs.empty())
            return;
        // A job queued before the period began is still queued: every worker was busy for all
        // of it. An idle worker would mean one woken but not yet running; it gets a nudge.
        if (s.idle > 0)
            s.wake.notify_one();
        else
            start = s.taken < s.waitingUpTo;
    }
    if (start)
        startWorkers(state, 1);
    armGrace(state);
}

void WorkerPool::handOver(const std::shared_ptr<State>& state) {
    auto& s = *state;
    for (;;) {
        auto* taken = s.results.exchange(nullptr, std::memory_order_acquire);
        if (!taken) {
            // Done unless a result came in meanwhile whose worker saw this hand-over still due.
            s.handOverDue = false;
            if (!s.results.load() || s.handOverDue.exchange(true))
                return;
            continue;
        }
        State::Result* inOrder = nullptr;
        while (taken) {
            auto* node = std::exchange(taken, taken->next);
            node->next = std::exchange(inOrder, node);
        }
        while (inOrder) {
            const std::unique_ptr<State::Result> node(inOrder);
            inOrder = node->next;
            node->task();
        }
    }
}

void WorkerPool::work(std::shared_ptr<State> state) { // shared: the pool may go first
    auto& s = *state;
    std::unique_lock lock(s.mutex);
    while (s.open) {
        if (!s.jobs.empty()) {
            auto job = std::move(s.jobs.front());
            s.jobs.pop_front();
            ++s.taken;
            const bool passOn = !s.jobs.empty() && s.idle > 0;
            lock.unlock();
            if (passOn)
                s.wake.notify_one();
            Task then;
            try {
                then = job();
            } catch (...) {
                then = nullptr; // a job that throws has nothing to report
            }
            job = nullptr;
            lock.lock();
            if (then && s.open) {
                auto* node = new State::Result{std::move(then), s.results.load()};
                while (
                    !s.results.compare_exchange_weak(node->next, node, std::memory_order_release))
                    ;
                // Holds the state: what finished before the pool went still reaches the main
                // thread, as it would have one post at a time.
                if (!s.handOverDue.exchange(true))
                    s.mainQueue->post([state] { handOver(state); });
            } else if (then) {
                lock.unlock();
                then = nullptr; // dropped outside the lock: it may hold the last of anything
                lock.lock();
            }
            continue;
        }
        if (s.idle >= s.options.maxIdleWorkers)
            break;
        ++s.idle;
        bool retire = false;
        while (s.open && s.jobs.empty() && !retire) {
            if (s.idle <= s.options.minIdleWorkers)
                s.wake.wait(lock);
            else
                retire = s.wake.wait_for(lock, s.options.idleTimeout) == std::cv_status::timeout &&
                         s.open && s.jobs.empty() && s.idle > s.options.minIdleWorkers;
        }
        --s.idle;
        if (retire)
            break;
    }
    --s.threads;
}

std::size_t WorkerPool::threadCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->threads;
}

std::size_t WorkerPool::idleCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->idle;
}

std::size_t WorkerPool::threadsStarted() const {
    std::lock_guard lock(state_->mutex);
    return state_->started;
}

} // namespace vornix
