#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace vornix::testing {

/// Polls `done` until it holds or ten seconds pass: for waiting on real threads, processes and
/// the kernel, never on our own timers. Returns whether `done` held.
inline bool waitFor(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (; !done(); std::this_thread::sleep_for(std::chrono::milliseconds(1)))
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
    return true;
}

} // namespace vornix::testing
