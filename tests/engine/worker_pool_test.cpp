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

/// Jobs that block until the test opens the gate.
struct Gate {
    std::promise<void> opener;
    std::shared_future<void> gate = opener.get_future().share();
    std::atomic<int> started{0};

    WorkerJob blockedJob(Task then = [] {}) {
        return [this, gate = gate, then]() -> Task {
            ++started;
            gate.wait();
            return then;
        };
    }
    void open() { opener.set_value(); }
};

TEST(WorkerPool, RunsJobsOnWorkersAndHandsTheirTasksToTheMainQueue) {
    testing::VirtualTime time;
    WorkerPool pool(time);
    const auto caller = std::this_thread::get_id();
    std::atomic<bool> ranElsewhere{false};
    std::thread::id taskThread;
    int tasks = 0;
    pool.submit([&]() -> Task {
        ranElsewhere = std::this_thread::get_id() != caller;
        return [&] {
            ++tasks;
            taskThread = std::this_thread::get_id();
        };
    });
    pool.submit([]() -> Task { return nullptr; }); // nothing to hand back
    ASSERT_TRUE(waitFor([&] {
        time.runPending();
        return tasks == 1 && pool.idleCount() == pool.threadCount();
    }));
    EXPECT_TRUE(ranElsewhere);
    EXPECT_EQ(taskThread, caller);
    time.runPending();
    EXPECT_EQ(tasks, 1);
}

TEST(WorkerPool, ABlockedJobDelaysNoOther) {
    testing::VirtualTime time;
    WorkerPool pool(time);
    Gate stuck;
    int stuckDone = 0;
    pool.submit(stuck.blockedJob([&] { ++stuckDone; }));
    ASSERT_TRUE(waitFor([&] { return stuck.started == 1; }));
    int done = 0;
    for (int i = 0; i < 5; ++i)
        pool.submit([&]() -> Task { return [&] { ++done; }; });
    ASSERT_TRUE(waitFor([&] {
        time.runPending();
        return done == 5;
    }));
    EXPECT_EQ(stuckDone, 0);
    stuck.open();
    ASSERT_TRUE(waitFor([&] {
        time.runPending();
        return stuckDone == 1;
    }));
}

TEST(WorkerPool, IdleWorkersAreReusedCappedAndExpire) {
    testing::VirtualTime time;
    {
        WorkerPool pool(time, {.maxIdleWorkers = 2, .idleTimeout = 1h});
        Gate gate;
        for (int i = 0; i < 10; ++i)
            pool.submit(gate.blockedJob());
        ASSERT_TRUE(waitFor([&] { return gate.started == 10; }));
        EXPECT_EQ(pool.threadCount(), 10u); // one thread per blocked job
        gate.open();
        ASSERT_TRUE(waitFor([&] { return pool.threadCount() == 2 && pool.idleCount() == 2; }));

        std::atomic<int> ran{0};
        for (int i = 0; i < 2; ++i)
            pool.submit([&]() -> Task {
                ++ran;
                return nullptr;
            });
        ASSERT_TRUE(waitFor([&] { return ran == 2 && pool.idleCount() == 2; }));
        EXPECT_EQ(pool.threadCount(), 2u);
    }
    WorkerPool brief(time, {.maxIdleWorkers = 4, .idleTimeout = 1ms});
    Gate gate;
    for (int i = 0; i < 3; ++i)
        brief.submit(gate.blockedJob());
    ASSERT_TRUE(waitFor([&] { return gate.started == 3; }));
    gate.open();
    EXPECT_TRUE(waitFor([&] { return brief.threadCount() == 0; }));
}

TEST(WorkerPool, DestructionWaitsForNoWorkerAndDropsWhatLateJobsReturn) {
    testing::VirtualTime time;
    Gate gate;
    auto sentinel = std::make_shared<int>(0);
    std::weak_ptr<int> watch = sentinel;
    {
        WorkerPool pool(time);
        pool.submit(gate.blockedJob([sentinel] { ADD_FAILURE() << "posted after the pool"; }));
        sentinel.reset();
        ASSERT_TRUE(waitFor([&] { return gate.started == 1; }));
    } // returns although its worker is blocked
    gate.open();
    // The worker drops the task (and with it the last reference) instead of posting it.
    ASSERT_TRUE(waitFor([&] { return watch.expired(); }));
    EXPECT_EQ(time.pendingCount(), 0u);
    time.runPending();
}

} // namespace
} // namespace vornix
