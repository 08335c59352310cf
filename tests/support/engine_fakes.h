#pragma once

// Stand-ins for the engine's ports: free space and write results scripted per mount path, and a
// worker queue whose jobs run only when the test says so.

#include "engine/engine_ports.h"
#include "engine/vornix.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vornix::testing {

/// Free space per mount path (unknown when unset) and the result of each mount path's writes
/// (success when unset); remembers the writes made. The write may run on any thread.
class FakePingFileSystem final : public PingFileSystem {
public:
    void setFreeBytes(const std::string& mountPath, std::optional<std::int64_t> bytes) {
        if (bytes)
            free_[mountPath] = *bytes;
        else
            free_.erase(mountPath);
    }
    void setResult(const std::string& mountPath, PingResult result) {
        std::lock_guard lock(state_->mutex);
        state_->results[Vornix::pingFileLocation(mountPath)] = std::move(result);
    }
    /// Ping files written so far, in order.
    std::vector<std::string> writes() const {
        std::lock_guard lock(state_->mutex);
        return state_->writes;
    }
    int writeCount(const std::string& mountPath) const {
        int n = 0;
        for (const auto& path : writes())
            n += path == Vornix::pingFileLocation(mountPath) ? 1 : 0;
        return n;
    }
    /// Free-space questions asked, per mount path.
    int freeQueries(const std::string& mountPath) const {
        const auto found = queries_.find(mountPath);
        return found == queries_.end() ? 0 : found->second;
    }

    std::optional<std::int64_t> freeBytes(const std::string& mountPath) const override {
        ++queries_[mountPath];
        const auto found = free_.find(mountPath);
        if (found == free_.end())
            return std::nullopt;
        return found->second;
    }

    PingWrite writer() const override {
        return [state = state_](const std::string& path) {
            std::lock_guard lock(state->mutex);
            state->writes.push_back(path);
            const auto found = state->results.find(path);
            return found == state->results.end() ? PingResult::success() : found->second;
        };
    }

private:
    struct State {
        std::mutex mutex;
        std::map<std::string, PingResult> results;
        std::vector<std::string> writes;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
    std::map<std::string, std::int64_t> free_;
    mutable std::map<std::string, int> queries_;
};

/// Holds submitted jobs until the test runs them, on the test's thread, standing in for a
/// worker; what a job returns is posted to the main queue, as the real pool does. With
/// `runImmediately`, every job runs as it is submitted (its task still goes through the queue).
class ManualWorkerQueue final : public WorkerQueue {
public:
    explicit ManualWorkerQueue(MainQueue& mainQueue) : mainQueue_(mainQueue) {}

    bool runImmediately = false;

    void submit(WorkerJob job) override {
        jobs_.push_back(std::move(job));
        if (runImmediately)
            runNext();
    }
    std::size_t pending() const { return jobs_.size(); }

    /// Runs the oldest job; false when there is none.
    bool runNext() { return run(0); }
    /// Runs the job at `index` in order of submission among those not yet run.
    bool run(std::size_t index) {
        if (index >= jobs_.size())
            return false;
        auto job = std::move(jobs_[index]);
        jobs_.erase(jobs_.begin() + static_cast<std::ptrdiff_t>(index));
        if (auto then = job())
            mainQueue_.post(std::move(then));
        return true;
    }
    /// Runs every job waiting now; returns how many.
    std::size_t runAll() {
        std::size_t n = 0;
        for (auto count = jobs_.size(); count > 0; --count)
            n += runNext() ? 1 : 0;
        return n;
    }

private:
    MainQueue& mainQueue_;
    std::deque<WorkerJob> jobs_;
};

} // namespace vornix::testing
