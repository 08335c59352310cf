#include "engine/worker_pool.h"

#include <condition_variable>
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
    MainQueue* mainQueue; // only touched under `mutex` while `open`
    Options options;
    bool open = true;
    std::deque<WorkerJob> jobs;
    std::size_t threads = 0;
    std::size_t idle = 0;
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
}

void WorkerPool::submit(WorkerJob job) {
    std::lock_guard lock(state_->mutex);
    state_->jobs.push_back(std::move(job));
    if (state_->jobs.size() <= state_->idle) {
        state_->wake.notify_one();
        return;
    }
    ++state_->threads;
    try {
        std::thread(&WorkerPool::work, state_).detach();
    } catch (const std::system_error&) {
        // No thread to be had: the job waits for the next worker that comes free.
        --state_->threads;
    }
}

void WorkerPool::work(std::shared_ptr<State> state) { // shared: the pool may go first
    std::unique_lock lock(state->mutex);
    while (state->open) {
        if (!state->jobs.empty()) {
            auto job = std::move(state->jobs.front());
            state->jobs.pop_front();
            lock.unlock();
            Task then;
            try {
                then = job();
            } catch (...) {
                then = nullptr; // a job that throws has nothing to report
            }
            job = nullptr;
            lock.lock();
            if (state->open && then)
                state->mainQueue->post(std::move(then));
            else if (then) {
                lock.unlock();
                then = nullptr; // dropped outside the lock: it may hold the last of anything
                lock.lock();
            }
            continue;
        }
        if (state->idle >= state->options.maxIdleWorkers)
            break;
        ++state->idle;
        const bool woken = state->wake.wait_for(
            lock, state->options.idleTimeout, [&] { return !state->open || !state->jobs.empty(); });
        --state->idle;
        if (!woken)
            break;
    }
    --state->threads;
}

std::size_t WorkerPool::threadCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->threads;
}

std::size_t WorkerPool::idleCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->idle;
}

} // namespace vornix
