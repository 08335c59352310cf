#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

namespace vornix::testing {

/// Polls `done` until it holds or `timeout` passes: for waiting on real threads, processes and
/// the kernel, never on our own timers. Returns whether `done` held.
inline bool waitFor(const std::function<bool()>& done,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (; !done(); std::this_thread::sleep_for(std::chrono::milliseconds(1)))
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
    return true;
}

/// The threads of this process, as the kernel counts them.
inline std::size_t processThreads() {
    using Entries = std::filesystem::directory_iterator;
    return static_cast<std::size_t>(std::distance(Entries("/proc/self/task"), Entries()));
}

} // namespace vornix::testing
