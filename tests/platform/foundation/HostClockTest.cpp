#include "foundation/HostClock.h"

#include <gtest/gtest.h>

#include <chrono>

namespace cliploop {
namespace {

double steadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

TEST(HostClock, ReadsTheSameMonotonicTimeLineAsTheTimersInSeconds) {
    // The repeating timer schedules on steady_clock; host times must be
    // comparable with it (same clock, same unit).
    for (int i = 0; i < 1000; ++i) {
        const double before = steadySeconds();
        const double host = hostTime();
        const double after = steadySeconds();
        ASSERT_LE(before, host + 1e-6);
        ASSERT_LE(host, after + 1e-6);
    }
}

}  // namespace
}  // namespace cliploop
