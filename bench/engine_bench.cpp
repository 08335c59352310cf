// vornix-engine-bench: what the keep-alive engine costs, on real file systems and real worker
// threads, with the interval run on a virtual clock so that hours of ticks take seconds.
//
//   1. main-thread CPU time per tick with 1, 16 and 256 watched volumes (tmpfs);
//   2. the ping latency of a healthy volume, alone and beside a volume whose writes hang;
//   3. threads and resident memory after 2,000 ticks with one volume hanging.
//
// Needs root: it mounts tmpfs and the tests' FUSE file system in a private mount namespace.

#include "engine/keep_alive_engine.h"
#include "engine/worker_pool.h"
#include "platform/linux/ping_file_system.h"

#include "scratch_mounts.h"
#include "volume_fakes.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace {

using namespace vornix;
using Steady = std::chrono::steady_clock;

/// A main queue on a virtual clock whose posts may come from worker threads; the bench's main
/// thread sleeps on a condition variable while it waits for them, so waiting costs no CPU.
class BenchQueue final : public MainQueue, public WallClock {
public:
    WallTime now() const override {
        std::lock_guard lock(mutex_);
        return start_ + std::chrono::duration_cast<WallTime::duration>(now_);
    }
    void post(Task task) override { schedule(Nanos{-1}, std::move(task), nullptr); }
    std::shared_ptr<DelayedTask> postDelayed(double seconds, Task task) override {
        auto cancelled = std::make_shared<bool>(false);
        schedule(at(seconds), std::move(task), cancelled);
        return std::make_shared<Delayed>(cancelled);
    }
    std::unique_ptr<RepeatingTimer> startRepeating(double seconds, Task tick) override {
        auto cancelled = std::make_shared<bool>(false);
        auto fire = std::make_shared<std::function<void()>>();
        std::weak_ptr<std::function<void()>> weak = fire;
        *fire = [this, seconds, cancelled, tick = std::move(tick), weak] {
            if (auto self = weak.lock())
                schedule(
                    at(seconds), [self] { (*self)(); }, cancelled);
            tick();
        };
        schedule(
            at(0), [fire] { (*fire)(); }, cancelled);
        return std::make_unique<Repeating>(cancelled);
    }

    /// Runs everything due up to `seconds` from now, then moves the clock there.
    void advance(double seconds) {
        const Nanos target = at(seconds);
        while (auto task = next(target))
            task();
        std::lock_guard lock(mutex_);
        now_ = target;
    }
    /// Runs posts from workers as they come until `done` holds.
    template <class Done> void runPostsUntil(Done done) {
        while (!done()) {
            {
                std::unique_lock lock(mutex_);
                if (!posted_.wait_for(lock, std::chrono::seconds(30), [&] {
                        return !tasks_.empty() && tasks_.begin()->first.first <= now_;
                    })) {
                    std::fprintf(stderr, "no result from the workers within 30 s\n");
                    std::exit(1);
                }
            }
            while (auto due = next(nowNanos()))
                due();
        }
    }

private:
    using Nanos = std::chrono::nanoseconds;
    struct Delayed final : DelayedTask {
        explicit Delayed(std::shared_ptr<bool> c) : cancelled(std::move(c)) {}
        void cancel() override { *cancelled = true; }
        std::shared_ptr<bool> cancelled;
    };
    struct Repeating final : RepeatingTimer {
        explicit Repeating(std::shared_ptr<bool> c) : cancelled(std::move(c)) {}
        ~Repeating() override { *cancelled = true; }
        std::shared_ptr<bool> cancelled;
    };
    struct Entry {
        Task task;
        std::shared_ptr<bool> cancelled;
    };

    Nanos nowNanos() const {
        std::lock_guard lock(mutex_);
        return now_;
    }
    Nanos at(double seconds) const {
        return nowNanos() + Nanos(static_cast<long long>(seconds * 1e9));
    }
    void schedule(Nanos due, Task task, std::shared_ptr<bool> cancelled) {
        {
            std::lock_guard lock(mutex_);
            if (due.count() < 0)
                due = now_;
            tasks_.emplace(std::pair{due, sequence_++},
                           Entry{std::move(task), std::move(cancelled)});
        }
        posted_.notify_one();
    }
    Task next(Nanos until) {
        std::lock_guard lock(mutex_);
        while (!tasks_.empty() && tasks_.begin()->first.first <= until) {
            auto entry = std::move(tasks_.begin()->second);
            now_ = std::max(now_, tasks_.begin()->first.first);
            tasks_.erase(tasks_.begin());
            if (!entry.cancelled || !*entry.cancelled)
                return std::move(entry.task);
        }
        return nullptr;
    }

    mutable std::mutex mutex_;
    std::condition_variable posted_;
    WallTime start_ = std::chrono::system_clock::now();
    Nanos now_{0};
    std::uint64_t sequence_ = 0;
    std::map<std::pair<Nanos, std::uint64_t>, Entry> tasks_;
};

/// Counts successes per volume and notes when the last one of each was recorded.
class CountingLog final : public SystemLog {
public:
    void write(LogLevel, std::string_view line) override {
        const auto dash = line.find(" \u2014 ");
        const bool ok = line.rfind(label(LogEvent::Kind::pingSucceeded), 0) == 0;
        if (!ok || dash == std::string_view::npos)
            return;
        auto name = std::string(line.substr(dash + 5));
        if (!name.empty() && name.back() == ' ')
            name.pop_back();
        ++successes[name];
        lastSuccess[name] = Steady::now();
    }
    std::map<std::string, int> successes;
    std::map<std::string, Steady::time_point> lastSuccess;
};

class SilentNotifier final : public DesktopNotifier {
public:
    void post(const DesktopNotification&) override {}
    Subscription watchOutcomes(std::function<void(const NotificationOutcome&)>) override {
        return {};
    }
};

/// The real file system, noting when each ping of a volume began (its free-space question, asked
/// on a worker; the notes are shared with the workers, which may outlive this object).
class TimedFileSystem final : public PingFileSystem {
public:
    FreeSpaceQuery freeSpace() const override {
        return [notes = notes_](const std::string& mountPath) {
            {
                std::lock_guard lock(notes->mutex);
                notes->asked[mountPath] = Steady::now();
            }
            return linux_platform::availableBytes(mountPath);
        };
    }
    PingWrite writer() const override { return real_.writer(); }
    Steady::time_point askedAt(const std::string& mountPath) const {
        std::lock_guard lock(notes_->mutex);
        return notes_->asked.at(mountPath);
    }

private:
    struct Notes {
        std::mutex mutex;
        std::map<std::string, Steady::time_point> asked;
    };
    std::shared_ptr<Notes> notes_ = std::make_shared<Notes>();
    linux_platform::LinuxPingFileSystem real_;
};

double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::size_t processThreads() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/task"))
        ++n;
    return n;
}

long residentKiB() {
    std::ifstream in("/proc/self/status");
    std::string key;
    long value = 0;
    while (in >> key) {
        if (key == "VmRSS:") {
            in >> value;
            return value;
        }
        std::getline(in, key);
    }
    return -1;
}

/// One engine over `volumes`, with the pieces the measurements look at.
struct Rig {
    BenchQueue queue;
    CountingLog systemLog;
    SilentNotifier notifier;
    EventLog log{queue, systemLog, notifier};
    vornix::testing::FakeVolumeSystem volumeSystem; // the list is set by hand below
    VolumeMonitor monitor{log, queue, volumeSystem.ports()};
    TimedFileSystem fs;
    WorkerPool pool{queue};
    KeepAliveEngine engine{monitor, log, {queue, queue, pool, fs}};

    explicit Rig(const std::vector<std::pair<std::string, std::string>>& volumes) {
        std::vector<WatchedVolume> list;
        for (const auto& [name, path] : volumes)
            list.push_back(
                {.id = name, .name = name, .isCurrentlyMounted = true, .mountPath = path});
        monitor.volumes = list;
    }
    ~Rig() { engine.stop(); }

    /// Ticks once every 45 virtual seconds; after each tick waits until `healthy` volumes have
    /// all succeeded, then lets the stall timers of the others run out.
    void runTicks(int ticks, const std::vector<std::string>& healthy,
                  const std::function<void()>& afterTick = {}) {
        std::map<std::string, int> base;
        for (const auto& name : healthy)
            base[name] = systemLog.successes[name];
        for (int tick = 1; tick <= ticks; ++tick) {
            if (engine.isRunning()) {
                queue.advance(45 - KeepAliveEngine::stallTimeout);
            } else {
                engine.start(45);
                queue.advance(0);
            }
            queue.runPostsUntil([&] {
                for (const auto& name : healthy)
                    if (systemLog.successes[name] < base[name] + tick)
                        return false;
                return true;
            });
            if (afterTick)
                afterTick();
            queue.advance(KeepAliveEngine::stallTimeout);
        }
    }
};

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
    return values[index];
}

} // namespace

int main() {
    using namespace vornix::testing;
    if (const auto why = enterPrivateMountNamespace(); !why.empty()) {
        std::fprintf(stderr, "vornix-engine-bench %s (run it with sudo)\n", why.c_str());
        return 1;
    }
    ScratchDir scratch;
    std::vector<std::pair<std::string, std::string>> tmpfs;
    for (int i = 0; i < 256; ++i) {
        const auto name = "vol" + std::to_string(i);
        const auto dir = scratch.subdir(name);
        if (const auto error = mountTmpfs(dir); !error.empty()) {
            std::fprintf(stderr, "cannot mount tmpfs: %s\n", error.c_str());
            return 1;
        }
        tmpfs.emplace_back(name, dir);
    }
    TestFuse fuse(scratch.subdir("stuck"));
    if (!fuse.error().empty()) {
        std::fprintf(stderr, "cannot mount the FUSE test file system: %s\n", fuse.error().c_str());
        return 1;
    }

    std::printf("Keep-alive engine (interval 45 s on a virtual clock; writes are real)\n\n");
    std::printf("Main-thread CPU per tick (tmpfs volumes; tick, dispatch, result handling)\n");
    for (const std::size_t count : {1u, 16u, 256u}) {
        std::vector<std::pair<std::string, std::string>> volumes(tmpfs.begin(),
                                                                 tmpfs.begin() + count);
        std::vector<std::string> names;
        for (const auto& v : volumes)
            names.push_back(v.first);
        Rig rig(volumes);
        const int ticks = count == 256 ? 100 : 500;
        rig.runTicks(5, names); // warm up: workers made, files created
        const double before = threadCpuSeconds();
        rig.runTicks(ticks, names);
        const double perTick = (threadCpuSeconds() - before) / ticks;
        std::printf("  %3zu %s %8.1f us per tick (%.2f us per volume)\n", count,
                    count == 1 ? "volume: " : "volumes:", perTick * 1e6,
                    perTick * 1e6 / static_cast<double>(count));
    }

    std::printf(
        "\nPing latency of a healthy tmpfs volume, from its free-space test to its result\n");
    const auto& healthy = tmpfs[0];
    // Rounds of each, taken in turn, so that the load of the machine falls on both alike.
    auto latencies = [&](bool withStuck, std::vector<double>& samples) {
        std::vector<std::pair<std::string, std::string>> volumes;
        if (withStuck)
            volumes.emplace_back("stuck", fuse.dir());
        volumes.push_back(healthy);
        fuse.command(withStuck ? "block-writes" : "normal");
        Rig rig(volumes);
        rig.runTicks(5, {healthy.first}); // warm up
        rig.runTicks(200, {healthy.first}, [&] {
            const auto took =
                rig.systemLog.lastSuccess[healthy.first] - rig.fs.askedAt(healthy.second);
            samples.push_back(std::chrono::duration<double, std::micro>(took).count());
        });
        fuse.command("normal");
    };
    std::vector<double> alone, beside;
    for (int round = 0; round < 5; ++round) {
        latencies(false, alone);
        latencies(true, beside);
    }
    const double ratio = percentile(beside, 0.5) / percentile(alone, 0.5);
    std::printf("  alone:              median %7.1f us, p99 %7.1f us\n", percentile(alone, 0.5),
                percentile(alone, 0.99));
    std::printf("  beside a stuck one: median %7.1f us, p99 %7.1f us\n", percentile(beside, 0.5),
                percentile(beside, 0.99));
    std::printf("  ratio of medians:   %.2f\n", ratio);

    std::printf("\nOne volume stuck for 2,000 ticks (25 hours at 45 s), beside a healthy one\n");
    {
        fuse.command("block-writes");
        Rig rig({{"stuck", fuse.dir()}, healthy});
        const auto threadsBefore = processThreads();
        const auto rssBefore = residentKiB();
        rig.runTicks(10, {healthy.first});
        const auto rssAfter10 = residentKiB();
        rig.runTicks(1990, {healthy.first});
        const auto status = fuse.status();
        std::printf(
            "  threads: %zu before, %zu after (pool workers %zu, writes in the kernel %d)\n",
            threadsBefore, processThreads(), rig.pool.threadCount(), status ? status->blocked : -1);
        std::printf(
            "  resident memory: %ld KiB before, %ld KiB after 10 ticks, %ld KiB after 2,000\n",
            rssBefore, rssAfter10, residentKiB());
        fuse.command("normal");
    }
    return 0;
}
