#include "foundation/HostClock.h"

#include <time.h>

namespace cliploop {

double hostTime() {
    // CLOCK_MONOTONIC is also what std::chrono::steady_clock reads here, so
    // host times and the repeating timer's deadlines share one time line.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

}  // namespace cliploop
