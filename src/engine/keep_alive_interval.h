#pragma once

// The one rule for the keep-alive interval: which values the panel offers, which stored or
// passed values count, and what stands in for one that does not.

#include <array>
#include <cmath>
#include <optional>

namespace vornix::keep_alive_interval {

inline constexpr double defaultSeconds = 45.0;
/// The choices the panel offers, in order.
inline constexpr std::array<double, 4> options{30, 45, 60, 120};
/// Anything from one second to a day is honoured (a hand-edited 90 is used as stored).
inline constexpr double minimumSeconds = 1.0;
inline constexpr double maximumSeconds = 24.0 * 60 * 60;

inline bool isUsable(double seconds) {
    return std::isfinite(seconds) && seconds >= minimumSeconds && seconds <= maximumSeconds;
}

/// The interval a stored or given value stands for: the value when usable, else the default.
inline double usable(std::optional<double> seconds) {
    return seconds && isUsable(*seconds) ? *seconds : defaultSeconds;
}

} // namespace vornix::keep_alive_interval
