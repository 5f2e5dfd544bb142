// The frame pump's timer: a 16 ms RepeatingTimer run for a while (10 s, or
// BENCH_TIMER_SECONDS), measuring when each tick starts against the ideal
// grid of one tick every 16 ms.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "foundation/RepeatingTimer.h"

namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::duration<double, std::milli>;

double percentile(std::vector<double> sorted, double p) {
    if (sorted.empty()) return 0.0;
    const auto index = static_cast<std::size_t>(std::ceil(p * static_cast<double>(sorted.size())));
    return sorted[std::min(sorted.size() - 1, index == 0 ? 0 : index - 1)];
}

}  // namespace

int main() {
    double seconds = 10.0;
    if (const char* env = std::getenv("BENCH_TIMER_SECONDS"))
        seconds = std::max(0.1, std::atof(env));
    constexpr auto interval = std::chrono::milliseconds(16);

    std::vector<Clock::time_point> starts;
    starts.reserve(static_cast<std::size_t>(seconds * 1000.0 / 16.0) + 64);
    std::atomic<bool> inTick{false};
    std::atomic<int> overlapping{0};

    cliploop::RepeatingTimer timer(interval, [&] {
        if (inTick.exchange(true)) ++overlapping;
        starts.push_back(Clock::now());
        inTick.store(false);
    });
    timer.start();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    timer.cancel();  // joins: `starts` is ours from here on

    if (starts.size() < 2) {
        std::fprintf(stderr, "bench timer: only %zu ticks\n", starts.size());
        return 1;
    }
    const double intervalMs = Ms(interval).count();
    const auto first = starts.front();
    // The ideal grid is origin + n * 16 ms. The timer's own start is not
    // visible here and the first tick may itself be late, so the origin is
    // found from the ticks: their phases within the interval form one cluster
    // on the circle (no tick comes early), which begins after the widest gap.
    // Each tick is measured against the grid point it follows; a deadline
    // missed altogether shows in missed_deadlines instead.
    std::vector<double> phases;
    phases.reserve(starts.size());
    for (const auto& start : starts) {
        phases.push_back(std::fmod(Ms(start - first).count(), intervalMs));
    }
    std::vector<double> sortedPhases = phases;
    std::sort(sortedPhases.begin(), sortedPhases.end());
    double origin = sortedPhases.front();
    double widestGap = sortedPhases.front() + intervalMs - sortedPhases.back();
    for (std::size_t i = 1; i < sortedPhases.size(); ++i) {
        if (sortedPhases[i] - sortedPhases[i - 1] > widestGap) {
            widestGap = sortedPhases[i] - sortedPhases[i - 1];
            origin = sortedPhases[i];
        }
    }
    std::vector<double> deviations;
    deviations.reserve(phases.size());
    for (const double phase : phases) {
        deviations.push_back(std::fmod(phase - origin + intervalMs, intervalMs));
    }
    std::sort(deviations.begin(), deviations.end());
    const double span = Ms(starts.back() - first).count();
    const double meanPeriod = span / static_cast<double>(starts.size() - 1);
    const long expected = static_cast<long>(std::lround(span / intervalMs)) + 1;

    std::printf("BENCH timer.ticks %zu\n", starts.size());
    std::printf("BENCH timer.mean_period_ms %.4f\n", meanPeriod);
    std::printf("BENCH timer.deviation_p50_ms %.4f\n", percentile(deviations, 0.50));
    std::printf("BENCH timer.deviation_p99_ms %.4f\n", percentile(deviations, 0.99));
    std::printf("BENCH timer.deviation_max_ms %.4f\n", deviations.back());
    std::printf("BENCH timer.missed_deadlines %ld\n", expected - static_cast<long>(starts.size()));
    std::printf("BENCH timer.overlapping_ticks %d\n", overlapping.load());
    return 0;
}
