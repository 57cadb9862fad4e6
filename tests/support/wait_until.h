#pragma once
// Waiting for an expected state in tests: check, and if it does not hold yet,
// check again a little later, until a deadline. Never a fixed sleep standing
// in for the state itself.

#include <chrono>
#include <functional>
#include <thread>

namespace plotanix::testing {

// True as soon as condition() holds; false if it still does not after timeout.
inline bool waitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10),
                      std::chrono::milliseconds interval = std::chrono::milliseconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(interval);
    }
}

} // namespace plotanix::testing
