#pragma once
// Waiting for a condition in tests without a clock in the assertion.
#include <chrono>
#include <functional>
#include <thread>

namespace cliploop::testing {

// Polls until `condition` holds; false after 30 s (a hang guard, not a timing check).
inline bool eventually(const std::function<bool()>& condition) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace cliploop::testing
