// ctest-labels: concurrency
#include "foundation/RepeatingTimer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <semaphore>
#include <set>
#include <vector>

#include "common/Eventually.h"

namespace cliploop {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::eventually;

TEST(RepeatingTimer, TicksRunOneAtATimeOnOneWorkerAndSkipMissedDeadlines) {
    constexpr auto interval = 40ms;
    std::mutex mutex;
    std::set<std::thread::id> threads;
    std::vector<Clock::time_point> starts, ends;
    RepeatingTimer timer(interval, [&] {
        const auto start = Clock::now();
        std::lock_guard lock(mutex);
        std::this_thread::sleep_for(starts.empty() ? interval * 6 : 1ms);  // the first overruns
        threads.insert(std::this_thread::get_id());
        starts.push_back(start);
        ends.push_back(Clock::now());
    });
    timer.start();
    timer.start();  // a second start changes nothing
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(mutex);
        return starts.size() >= 3;
    }));
    timer.cancel();
    ASSERT_EQ(threads.size(), 1u);  // so no two ticks ever overlapped
    EXPECT_NE(*threads.begin(), std::this_thread::get_id());
    // Piled-up ticks would follow the overrun back to back (a lower bound: never early).
    EXPECT_GE(starts[2] - ends[0], interval);
}

TEST(RepeatingTimer, FirstTickComesAtOnceAndCancelWaitsForItThenReleasesTheHandlerForGood) {
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> watch = token;
    std::binary_semaphore inTick{0}, letGo{0};
    std::atomic<int> ticks{0};
    RepeatingTimer timer(std::chrono::hours(1), [&, token] {
        inTick.release();
        letGo.acquire();
        ++ticks;
    });
    token.reset();
    timer.start();
    inTick.acquire();
    std::thread releaser([&] {
        std::this_thread::sleep_for(20ms);  // a cancel that does not wait shows here
        letGo.release();
    });
    timer.cancel();  // also ends the hour-long wait that follows the tick
    EXPECT_EQ(ticks.load(), 1);
    releaser.join();
    EXPECT_TRUE(watch.expired());
    timer.start();  // a cancelled timer stays cancelled
    EXPECT_FALSE(timer.isRunning());
}

// An owner holds its timer, whose handler holds the owner, as the controller and its pump do.
TEST(RepeatingTimer, CancelBreaksTheCycleBetweenAnOwnerAndItsHandlerFromInsideAndOutside) {
    struct Owner {
        std::unique_ptr<RepeatingTimer> timer;
        std::atomic<int> ticks{0};
    };
    auto outside = std::make_shared<Owner>(), inside = std::make_shared<Owner>();
    const std::weak_ptr<Owner> watchOutside = outside, watchInside = inside;
    outside->timer = std::make_unique<RepeatingTimer>(1ms, [outside] { ++outside->ticks; });
    // Cancelled from its handler, the timer goes with the owner on its own thread, ticking no more.
    std::atomic<int> insideTicks{0};
    inside->timer = std::make_unique<RepeatingTimer>(1ms, [inside, &insideTicks] {
        if (++insideTicks == 3) inside->timer->cancel();
    });
    outside->timer->start();
    inside->timer->start();
    ASSERT_TRUE(eventually([&] { return outside->ticks >= 2; }));
    RepeatingTimer* timer = outside->timer.get();
    outside.reset();
    inside.reset();
    timer->cancel();  // destroys the owner, and with it the timer
    EXPECT_TRUE(watchOutside.expired());
    ASSERT_TRUE(eventually([&] { return watchInside.expired(); }));
    EXPECT_EQ(insideTicks.load(), 3);
}

}  // namespace
}  // namespace cliploop
