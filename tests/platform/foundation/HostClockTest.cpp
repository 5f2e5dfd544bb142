#include "foundation/HostClock.h"

#include <gtest/gtest.h>

#include <chrono>

namespace cliploop {
namespace {

TEST(HostClock, ReadsTheTimersMonotonicTimeLineInSeconds) {
    // Host times are compared with the repeating timer's steady_clock deadlines.
    auto steadySeconds = [] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    };
    for (int i = 0; i < 1000; ++i) {
        const double before = steadySeconds();
        const double host = hostTime();
        ASSERT_LE(before, host + 1e-6);
        ASSERT_LE(host, steadySeconds() + 1e-6);
    }
}

}  // namespace
}  // namespace cliploop
