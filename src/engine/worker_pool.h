#pragma once

#include "core/scheduling.h"
#include "engine/engine_ports.h"

#include <chrono>
#include <cstddef>
#include <memory>

namespace vornix {

/// Worker threads made on demand: a job that finds no idle worker gets a new thread, so a job
/// blocked in the kernel never holds up another. The pool itself sets no ceiling; its users
/// bound the jobs they keep in flight (the engine keeps at most one write per volume). Idle
/// workers beyond `maxIdleWorkers` end at once, the others after `idleTimeout` without work.
///
/// Workers are detached and share the pool's state with it. Destroying the pool returns at once,
/// waits for no worker, drops the jobs not yet started, and from then on discards what finishing
/// jobs would post, so the main queue may go next.
class WorkerPool final : public WorkerQueue {
public:
    struct Options {
        std::size_t maxIdleWorkers = 4;
        std::chrono::milliseconds idleTimeout{60'000};
    };

    explicit WorkerPool(MainQueue& mainQueue);
    WorkerPool(MainQueue& mainQueue, Options options);
    ~WorkerPool() override;
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    void submit(WorkerJob job) override;

    /// Workers alive, busy or idle.
    std::size_t threadCount() const;
    /// Workers waiting for a job.
    std::size_t idleCount() const;

private:
    struct State;
    static void work(std::shared_ptr<State> state);
    std::shared_ptr<State> state_;
};

} // namespace vornix
