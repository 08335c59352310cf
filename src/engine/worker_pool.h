#pragma once

#include "core/scheduling.h"
#include "engine/engine_ports.h"

#include <chrono>
#include <cstddef>
#include <memory>

namespace vornix {

/// Worker threads kept between bursts of work. A burst is handed over under one lock with one
/// wake-up, and the workers pass it on among themselves.
///
/// Threads: up to `minIdleWorkers` (at least one) are started as soon as jobs need them. Beyond
/// that a thread is started only for a job that has waited `grace` with every worker busy, and then
/// one per further `grace` for as long as some job has waited that long. So a burst of quick jobs
/// starts no thread, and a job blocked in the kernel holds the others up for about one grace period
/// (two at most), never for its own length. The pool sets no ceiling: its users bound the jobs they
/// keep in flight (the engine keeps at most one write per volume), and every extra thread stands
/// for a job that waited a grace period. Idle workers beyond `maxIdleWorkers` end at once, those
/// beyond `minIdleWorkers` after `idleTimeout` without work.
///
/// The grace period is timed by the main queue, where the decision to start a thread is taken;
/// so every thread is started on the main thread, in submitAll() or in that delayed task.
///
/// Results: the first job to finish posts one task to the main queue, which runs the tasks of the
/// jobs that finish before it has run out, in the order they finished. No result waits for
/// another job, and the main thread never waits for a worker's lock to take them.
///
/// Workers are detached and share the pool's state with it. Destroying the pool returns at once,
/// waits for no worker, drops the jobs not yet started, and from then on discards what finishing
/// jobs return, so the main queue may go next. Results gathered before still reach the main
/// queue: their hand-over task is already posted.
class WorkerPool final : public WorkerQueue {
public:
    struct Options {
        std::size_t minIdleWorkers = 4;
        std::size_t maxIdleWorkers = 8;
        std::chrono::milliseconds idleTimeout{60'000};
        std::chrono::milliseconds grace{20};
    };

    explicit WorkerPool(MainQueue& mainQueue);
    WorkerPool(MainQueue& mainQueue, Options options);
    ~WorkerPool() override;
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    void submitAll(std::vector<WorkerJob> jobs) override;

    /// Workers alive, busy or idle.
    std::size_t threadCount() const;
    /// Workers waiting for a job.
    std::size_t idleCount() const;
    /// Threads started since the pool was made.
    std::size_t threadsStarted() const;

private:
    struct State;
    static void work(std::shared_ptr<State> state);
    static bool startWorkers(const std::shared_ptr<State>& state, std::size_t count);
    static void armGrace(const std::shared_ptr<State>& state);
    static void graceEnded(const std::shared_ptr<State>& state);
    static void handOver(const std::shared_ptr<State>& state);
    std::shared_ptr<State> state_;
};

} // namespace vornix
