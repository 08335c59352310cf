#pragma once

// The one rule for the keep-alive interval: which values the panel offers, which stored or
// passed values count, and what stands in for one that does not.

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>

namespace vornix::keep_alive_interval {

inline constexpr double defaultSeconds = 45.0;
/// The choices the panel offers, in order.
inline constexpr std::array<double, 4> options{30, 45, 60, 120};
/// A ping writes and flushes the same blocks (and the file system's own records of them) each
/// time: every few seconds, that wears cheap flash media, whose wear levelling is poor, for
/// nothing, since no drive spins down after less than about 30 s idle.
inline constexpr double minimumSeconds = 10.0;
inline constexpr double maximumSeconds = 24.0 * 60 * 60;

/// Whole seconds from the floor to a day (a hand-edited 90 is used as stored). Whole seconds
/// only: the timer then runs exactly what the panel, the command line and the bus show.
inline bool isUsable(double seconds) {
    return std::isfinite(seconds) && seconds == std::floor(seconds) && seconds >= minimumSeconds &&
           seconds <= maximumSeconds;
}

/// The interval a stored value stands for: the default for a missing, zero, negative or
/// non-finite value or one over a day; any other is raised to a whole second, and to the floor.
inline double usable(std::optional<double> seconds) {
    if (!seconds || !(*seconds > 0) || !(*seconds <= maximumSeconds))
        return defaultSeconds;
    return std::max(minimumSeconds, std::ceil(*seconds));
}

} // namespace vornix::keep_alive_interval
