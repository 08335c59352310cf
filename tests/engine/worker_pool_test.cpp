// The pool with real threads: these wait on its workers with a deadline, never on a clock.

#include "engine/worker_pool.h"

#include "virtual_time.h"
#include "wait_for.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

namespace vornix {
namespace {

using testing::waitFor;
using namespace std::chrono_literals;

/// Jobs that block until the test opens the gate, then hand `then` to the main queue.
struct Gate {
    std::promise<void> opener;
    std::shared_future<void> gate = opener.get_future().share();
    std::atomic<int> started{0};
    WorkerJob job(Task then = nullptr) {
        return [this, gate = gate, then]() -> Task { return ++started, gate.wait(), then; };
    }
};

TEST(WorkerPool, BlockedJobsDelayNoOtherIdleWorkersAreCappedAndNothingOutlivesThePool) {
    testing::VirtualTime time;
    WorkerPool pool(time, {.maxIdleWorkers = 2, .idleTimeout = 1h});
    Gate gate;
    int done = 0;
    for (int i = 0; i < 10; ++i)
        pool.submit(gate.job([&] { ++done; }));
    ASSERT_TRUE(waitFor([&] { return gate.started == 10; })); // a thread per blocked job
    pool.submit([&, main = std::this_thread::get_id()]() -> Task {
        return [&, main] { done += std::this_thread::get_id() == main ? 100 : 1000; };
    });
    ASSERT_TRUE(waitFor([&] { return time.runPending(), done == 100; }));
    gate.opener.set_value();
    ASSERT_TRUE(waitFor([&] { // idle workers beyond the cap end at once
        return time.runPending(), done == 110 && pool.threadCount() == 2 && pool.idleCount() == 2;
    }));
    pool.submit(gate.job());
    pool.submit(gate.job());
    ASSERT_TRUE(waitFor([&] { return gate.started == 12 && pool.idleCount() == 2; }));
    EXPECT_EQ(pool.threadCount(), 2u); // the idle ones took them
    WorkerPool brief(time, {.maxIdleWorkers = 4, .idleTimeout = 1ms});
    brief.submit(gate.job());
    EXPECT_TRUE(waitFor([&] { return brief.threadCount() == 0; })); // and the others in time

    // Destroyed with a worker blocked: returns at once, and the late task is dropped (with the
    // last reference to what it holds), never posted.
    Gate last;
    auto sentinel = std::make_shared<int>(0);
    const std::weak_ptr<int> watch = sentinel;
    auto doomed = std::make_unique<WorkerPool>(time);
    doomed->submit(last.job([sentinel] { ADD_FAILURE() << "posted after the pool"; }));
    sentinel.reset();
    ASSERT_TRUE(waitFor([&] { return last.started == 1; }));
    doomed.reset();
    last.opener.set_value();
    ASSERT_TRUE(waitFor([&] { return watch.expired(); }));
    EXPECT_EQ(time.pendingCount(), 0u);
}

} // namespace
} // namespace vornix
