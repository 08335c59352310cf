#pragma once

// Stand-ins for the engine's ports: free space and write results scripted per mount path, and a
// worker queue whose jobs run only when the test says so.

#include "engine/engine_ports.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>
#include <mutex>

namespace vornix::testing {

/// True while a ManualWorkerQueue job runs.
inline thread_local bool onWorker = false;

/// Free space and write result per mount path (unknown space and success when unscripted);
/// remembers the paths written. Touching a drive off the workers fails the test. It must
/// outlive the queries and writers it hands out.
class FakePingFileSystem final : public PingFileSystem {
public:
    /// What the free-space question and the writes of the volume at `mountPath` answer.
    void script(const std::string& mountPath, PingResult result, std::int64_t free = INT64_MAX) {
        std::lock_guard lock(mutex_);
        scripted_.insert_or_assign(mountPath, std::pair(free, std::move(result)));
    }
    std::vector<std::string> writes() const {
        std::lock_guard lock(mutex_);
        return writes_;
    }
    int writeCount(const std::string& mountPath) const {
        return static_cast<int>(std::ranges::count(writes(), mountPath + "/.vornix_ping"));
    }
    FreeSpaceQuery freeSpace() const override {
        return [this](const std::string& path) -> std::optional<std::int64_t> {
            EXPECT_TRUE(onWorker) << "statfs on the main thread";
            std::lock_guard lock(mutex_);
            const auto found = scripted_.find(path);
            return found == scripted_.end() ? std::nullopt : std::optional(found->second.first);
        };
    }
    PingWrite writer() const override {
        return [this](const std::string& path) {
            EXPECT_TRUE(onWorker) << "write on the main thread";
            std::lock_guard lock(mutex_);
            writes_.push_back(path);
            const auto found = scripted_.find(path.substr(0, path.rfind('/')));
            return found == scripted_.end() ? PingResult::success() : found->second.second;
        };
    }

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::pair<std::int64_t, PingResult>> scripted_;
    mutable std::vector<std::string> writes_;
};

/// I/O counters per device, as the test sets them (with ManualWorkerQueue); a device whose flag
/// is set finds one more write at every reading, as when each write reaches it. Devices not
/// listed have none. Reading off the workers fails the test.
struct FakeDeviceCounters final : DeviceCounters {
    mutable std::map<DeviceNumber, std::pair<IoCounters, bool>> devices;
    IoCounterRead reader() const override {
        return [this](DeviceNumber device) -> std::optional<IoCounters> {
            EXPECT_TRUE(onWorker) << "counters read on the main thread";
            const auto found = devices.find(device);
            if (found == devices.end())
                return std::nullopt;
            found->second.first.writes += found->second.second;
            return found->second.first;
        };
    }
};

/// Every drive answers `state` when asked for its power mode, on a worker only; counts the asks.
class FakeDrivePower final : public DrivePowerPort {
public:
    DrivePowerState state = DrivePowerState::active;
    mutable int asks = 0;
    std::optional<PowerStateQuery> powerStateQuery(DeviceNumber) const override {
        return PowerStateQuery{[this] {
                                   EXPECT_TRUE(onWorker) << "a drive asked on the main thread";
                                   return ++asks, state;
                               },
                               false};
    }
};

/// Holds submitted jobs until the test runs them (or, with `runImmediately`, runs each as it
/// comes) on the test's thread; what a job returns is posted to the main queue, as in the pool.
class ManualWorkerQueue final : public WorkerQueue {
public:
    explicit ManualWorkerQueue(MainQueue& mainQueue) : mainQueue_(mainQueue) {}
    bool runImmediately = false;
    void submitAll(std::vector<WorkerJob> jobs) override {
        for (auto& job : jobs) {
            jobs_.push_back(std::move(job));
            if (runImmediately)
                run(jobs_.size() - 1);
        }
    }
    std::size_t pending() const { return jobs_.size(); }
    /// Runs the job at `index` in order of submission among those not yet run.
    void run(std::size_t index) {
        const auto job = std::move(jobs_.at(index));
        jobs_.erase(jobs_.begin() + static_cast<std::ptrdiff_t>(index));
        onWorker = true;
        auto then = job();
        onWorker = false;
        if (then)
            mainQueue_.post(std::move(then));
    }
    void runAll() {
        while (!jobs_.empty())
            run(0);
    }

private:
    MainQueue& mainQueue_;
    std::deque<WorkerJob> jobs_;
};

} // namespace vornix::testing
