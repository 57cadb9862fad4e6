#pragma once
// The one rounding of a deadline into poll()'s milliseconds, for every wait
// of the programs, their tools and their tests.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>

namespace plotanix {

using Clock = std::chrono::steady_clock; // CLOCK_MONOTONIC on Linux

// Milliseconds from now until the deadline, rounded up so that a wait never
// ends just before it and turns into a spin; 0 once it has passed.
inline int msUntil(Clock::time_point deadline, Clock::time_point now = Clock::now()) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    return static_cast<int>(std::clamp<int64_t>(left, 0, 1'000'000'000));
}

// The same for poll(): -1 (wait without limit) when there is no deadline.
inline int pollTimeout(std::optional<Clock::time_point> deadline,
                       Clock::time_point now = Clock::now()) {
    return deadline ? msUntil(*deadline, now) : -1;
}

// The earlier of two deadlines, either of which may be absent.
inline std::optional<Clock::time_point> earlier(std::optional<Clock::time_point> a,
                                                std::optional<Clock::time_point> b) {
    if (!a) return b;
    if (!b) return a;
    return std::min(*a, *b);
}

} // namespace plotanix
