// vornix-engine-bench: what the keep-alive engine costs, on real file systems and real worker
// threads, with the interval run on a virtual clock so that hours of ticks take seconds.
//
//   1. main-thread CPU time per tick with 1, 16 and 256 watched volumes (tmpfs), median of 5
//      runs, and the threads started per tick;
//   2. the ping latency of a healthy volume, alone and beside a volume whose writes hang;
//   3. threads and resident memory after 2,000 ticks with one volume hanging.
//
//   vornix-engine-bench [--job-cost-us US] [--ext4 N]
//
// --job-cost-us makes every ping job wait US microseconds more on its worker (as for a reply
// from another process); --ext4 adds the first measure for N volumes on ext4 images on loop
// devices, where a ping reaches a block device.
//
// Needs root: it mounts tmpfs and the tests' FUSE file system in a private mount namespace.

#include "engine/keep_alive_engine.h"
#include "engine/worker_pool.h"
#include "platform/linux/ping_file_system.h"

#include "scratch_mounts.h"
#include "volume_fakes.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <string>
#include <thread>
#include <vector>

namespace {
std::atomic<std::size_t> threadsCreated{0};
} // namespace

// Every thread the process starts, whatever starts it, is counted on its way to the C library.
extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                              void* (*start)(void*), void* argument) {
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const auto create = reinterpret_cast<Create>(::dlsym(RTLD_NEXT, "pthread_create"));
    threadsCreated.fetch_add(1, std::memory_order_relaxed);
    return create(thread, attributes, start, argument);
}

namespace {

using namespace vornix;
using Steady = std::chrono::steady_clock;

/// A main queue on a virtual clock whose posts may come from worker threads; the bench's main
/// thread sleeps on a condition variable while it waits for them, so waiting costs no CPU.
class BenchQueue final : public MainQueue, public WallClock {
public:
    WallTime now() const override {
        return start_ + std::chrono::duration_cast<WallTime::duration>(now_.load());
    }
    void post(Task task) override {
        posts.fetch_add(1, std::memory_order_relaxed);
        schedule(Nanos{-1}, std::move(task), nullptr);
    }
    std::atomic<std::size_t> posts{0}; // from the workers, each a wake-up of the main thread
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
    /// Runs posts from workers as they come until `done` holds. Meanwhile virtual time follows
    /// real time, so that short timers (the worker pool's grace period) fire as they would.
    template <class Done> void runPostsUntil(Done done) {
        auto last = Steady::now();
        const auto giveUp = last + std::chrono::seconds(30);
        while (!done()) {
            {
                std::unique_lock lock(mutex_);
                for (;;) {
                    const auto real = Steady::now();
                    now_ = now_.load() + (real - last);
                    last = real;
                    if (!tasks_.empty() && tasks_.begin()->first.first <= now_.load())
                        break;
                    if (real >= giveUp) {
                        std::fprintf(stderr, "no result from the workers within 30 s\n");
                        std::exit(1);
                    }
                    posted_.wait_for(lock, tasks_.empty()
                                               ? std::chrono::seconds(30)
                                               : tasks_.begin()->first.first - now_.load());
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

    Nanos nowNanos() const { return now_.load(); }
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
            now_ = std::max(now_.load(), tasks_.begin()->first.first);
            tasks_.erase(tasks_.begin());
            if (!entry.cancelled || !*entry.cancelled)
                return std::move(entry.task);
        }
        return nullptr;
    }

    mutable std::mutex mutex_;
    std::condition_variable posted_;
    WallTime start_ = std::chrono::system_clock::now();
    std::atomic<Nanos> now_{Nanos{0}}; // set by the main thread under `mutex_`, read without it
    std::uint64_t sequence_ = 0;
    std::map<std::pair<Nanos, std::uint64_t>, Entry> tasks_;
};

/// Counts successes and notes when the last one was recorded; as cheap as can be, since it runs
/// on the main thread being measured.
class CountingLog final : public SystemLog {
public:
    void write(LogLevel, std::string_view line) override {
        if (line.starts_with(label(LogEvent::Kind::pingSucceeded))) {
            ++successes;
            lastSuccess = Steady::now();
        }
    }
    std::size_t successes = 0;
    Steady::time_point lastSuccess;
};

class SilentNotifier final : public DesktopNotifier {
public:
    void post(const DesktopNotification&) override {}
    Subscription watchOutcomes(std::function<void(const NotificationOutcome&)>) override {
        return {};
    }
};

/// How long every ping job waits on its worker besides its own work (--job-cost-us).
std::chrono::microseconds jobCost{0};

/// The real file system, noting when each ping of a volume began (its free-space question, asked
/// on a worker; the notes are shared with the workers, which may outlive this object).
class TimedFileSystem final : public PingFileSystem {
public:
    FreeSpaceQuery freeSpace() const override {
        return [notes = notes_, cost = jobCost](const std::string& mountPath) {
            {
                std::lock_guard lock(notes->mutex);
                notes->asked[mountPath] = Steady::now();
            }
            if (cost.count() > 0)
                std::this_thread::sleep_for(cost);
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

    /// Ticks once every 45 virtual seconds; after each tick waits until the `healthy` volumes
    /// (those that do not hang) have all succeeded, then lets the stall timers of the others run
    /// out.
    void runTicks(int ticks, std::size_t healthy, const std::function<void()>& afterTick = {}) {
        const auto base = systemLog.successes;
        for (std::size_t tick = 1; tick <= static_cast<std::size_t>(ticks); ++tick) {
            if (engine.isRunning()) {
                queue.advance(45 - KeepAliveEngine::stallTimeout);
            } else {
                engine.start(45);
                queue.advance(0);
            }
            queue.runPostsUntil([&] { return systemLog.successes >= base + tick * healthy; });
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

/// Main-thread CPU per tick and threads started per tick over `volumes`: the median of 5 runs.
void measureTicks(const std::vector<std::pair<std::string, std::string>>& volumes, int ticks,
                  const char* what) {
    std::vector<double> perTick, started, posts;
    for (int run = 0; run < 5; ++run) {
        Rig rig(volumes);
        rig.runTicks(5, volumes.size()); // warm up: workers made, files created
        const auto threadsBefore = threadsCreated.load();
        const auto postsBefore = rig.queue.posts.load();
        const double before = threadCpuSeconds();
        rig.runTicks(ticks, volumes.size());
        perTick.push_back((threadCpuSeconds() - before) / ticks * 1e6);
        started.push_back(static_cast<double>(threadsCreated.load() - threadsBefore) / ticks);
        posts.push_back(static_cast<double>(rig.queue.posts.load() - postsBefore) / ticks);
    }
    const double median = percentile(perTick, 0.5);
    const auto count = static_cast<double>(volumes.size());
    std::printf("  %3zu %s %8.1f us per tick (%.2f us per volume; runs %.2f-%.2f), "
                "%.2f threads started per tick, %.1f posts to the main queue per tick\n",
                volumes.size(), what, median, median / count,
                *std::min_element(perTick.begin(), perTick.end()) / count,
                *std::max_element(perTick.begin(), perTick.end()) / count, percentile(started, 0.5),
                percentile(posts, 0.5));
}

} // namespace

int main(int argc, char** argv) {
    using namespace vornix::testing;
    std::size_t ext4Volumes = 0;
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (hasValue && std::strcmp(argv[i], "--job-cost-us") == 0)
            jobCost = std::chrono::microseconds(std::atoll(argv[++i]));
        else if (hasValue && std::strcmp(argv[i], "--ext4") == 0)
            ext4Volumes = static_cast<std::size_t>(std::atoll(argv[++i]));
        else {
            std::fprintf(stderr, "usage: vornix-engine-bench [--job-cost-us US] [--ext4 N]\n");
            return 2;
        }
    }
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

    std::vector<std::pair<std::string, std::string>> ext4;
    for (std::size_t i = 0; i < ext4Volumes; ++i) {
        const auto name = "ext" + std::to_string(i);
        const auto dir = scratch.subdir(name);
        if (const auto error = mountExt4Image(scratch / (name + ".img"), dir); !error.empty()) {
            std::fprintf(stderr, "cannot mount ext4 volume %zu: %s\n", i, error.c_str());
            return 1;
        }
        ext4.emplace_back(name, dir);
    }

    std::printf("Keep-alive engine (interval 45 s on a virtual clock; writes are real)\n");
    if (jobCost.count() > 0)
        std::printf("Every ping job waits %lld us more on its worker\n",
                    static_cast<long long>(jobCost.count()));
    std::printf("\nMain-thread CPU per tick (tmpfs volumes; tick, dispatch, result handling; "
                "median of 5 runs)\n");
    for (const std::size_t count : {1u, 16u, 256u})
        measureTicks({tmpfs.begin(), tmpfs.begin() + static_cast<std::ptrdiff_t>(count)},
                     count == 256 ? 100 : 500, count == 1 ? "volume: " : "volumes:");
    if (!ext4.empty())
        measureTicks(ext4, 100, "ext4 volumes on loop devices:");

    std::printf("\nPing latency of a healthy tmpfs volume, from its free-space test to its result "
                "(threads on one CPU)\n");
    const auto& healthy = tmpfs[0];
    // Many short rounds of each, taken in turn, so that the load of the machine, and how the
    // threads of each round happen to be placed, fall on both alike.
    auto latencies = [&](bool withStuck, std::vector<double>& samples) {
        std::vector<std::pair<std::string, std::string>> volumes;
        if (withStuck)
            volumes.emplace_back("stuck", fuse.dir());
        volumes.push_back(healthy);
        fuse.command(withStuck ? "block-writes" : "normal");
        Rig rig(volumes);
        rig.runTicks(5, 1); // warm up
        rig.runTicks(50, 1, [&] {
            const auto took = rig.systemLog.lastSuccess - rig.fs.askedAt(healthy.second);
            samples.push_back(std::chrono::duration<double, std::micro>(took).count());
        });
        fuse.command("normal");
    };
    // On one CPU (threads started from here inherit it), so that whether the worker and the main
    // thread happen to share a CPU, which decides the cost of each wake-up on a virtual machine,
    // cannot tell the two apart.
    cpu_set_t allowed, one;
    ::sched_getaffinity(0, sizeof allowed, &allowed);
    CPU_ZERO(&one);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &allowed)) {
            CPU_SET(cpu, &one);
            break;
        }
    ::sched_setaffinity(0, sizeof one, &one);
    // Each round's median beside a stuck volume over that of the round alone just before it:
    // the median of these ratios, since a round's latencies as a whole may come out fast or
    // slow on a shared machine, whatever it measures.
    std::vector<double> alone, beside, ratios;
    for (int round = 0; round < 20; ++round) {
        std::vector<double> a, b;
        latencies(false, a);
        latencies(true, b);
        ratios.push_back(percentile(b, 0.5) / percentile(a, 0.5));
        alone.insert(alone.end(), a.begin(), a.end());
        beside.insert(beside.end(), b.begin(), b.end());
    }
    const double ratio = percentile(ratios, 0.5);
    ::sched_setaffinity(0, sizeof allowed, &allowed);
    std::printf("  alone:              median %7.1f us, p99 %7.1f us\n", percentile(alone, 0.5),
                percentile(alone, 0.99));
    std::printf("  beside a stuck one: median %7.1f us, p99 %7.1f us\n", percentile(beside, 0.5),
                percentile(beside, 0.99));
    std::printf("  ratio of medians:   %.2f (median of 20 rounds' ratios)\n", ratio);

    std::printf("\nOne volume stuck for 2,000 ticks (25 hours at 45 s), beside a healthy one\n");
    {
        fuse.command("block-writes");
        Rig rig({{"stuck", fuse.dir()}, healthy});
        const auto threadsBefore = processThreads();
        const auto rssBefore = residentKiB();
        rig.runTicks(10, 1);
        const auto rssAfter10 = residentKiB();
        rig.runTicks(1990, 1);
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
