// ctest-labels: concurrency
#include "foundation/RepeatingTimer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <semaphore>
#include <set>
#include <thread>
#include <vector>

namespace cliploop {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Polls until `done` holds; only a fault makes it give up.
bool eventually(const std::function<bool()>& done) {
    const auto deadline = Clock::now() + 20s;
    while (!done()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TEST(RepeatingTimer, FirstTickComesAtOnceAndTheDestructorEndsAnHourLongWait) {
    std::atomic<int> ticks{0};
    {
        RepeatingTimer timer(std::chrono::hours(1), [&] { ++ticks; });
        EXPECT_FALSE(timer.isRunning());
        timer.start();
        EXPECT_TRUE(timer.isRunning());
        EXPECT_TRUE(eventually([&] { return ticks == 1; }));
    }
    EXPECT_EQ(ticks.load(), 1);
}

TEST(RepeatingTimer, TicksRunOneAtATimeOnOneWorkerThreadAndSkipMissedDeadlines) {
    constexpr auto interval = 40ms;
    std::atomic<bool> inTick{false};
    std::atomic<int> overlaps{0};
    std::mutex mutex;
    std::set<std::thread::id> threads;
    std::vector<Clock::time_point> starts, ends;
    RepeatingTimer timer(interval, [&] {
        const auto start = Clock::now();
        overlaps += inTick.exchange(true);
        std::lock_guard lock(mutex);
        // The first tick overruns by about five deadlines.
        std::this_thread::sleep_for(starts.empty() ? interval * 6 : 1ms);
        threads.insert(std::this_thread::get_id());
        starts.push_back(start);
        ends.push_back(Clock::now());
        inTick = false;
    });
    timer.start();
    timer.start();  // a second start changes nothing
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(mutex);
        return starts.size() >= 4;
    }));
    timer.cancel();

    EXPECT_EQ(overlaps.load(), 0);
    ASSERT_EQ(threads.size(), 1u);
    EXPECT_NE(*threads.begin(), std::this_thread::get_id());
    // Lower bounds only (a timer never fires early). Piled-up ticks would follow
    // the overrun back to back; skipping puts the second tick on the first
    // deadline after the overrun and the third a full interval later.
    EXPECT_GE(starts[1], ends[0]);
    EXPECT_GE(starts[2] - ends[0], interval);
}

TEST(RepeatingTimer, CancelWaitsForTheRunningTickThenReleasesTheHandlerForGood) {
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> watch = token;
    std::binary_semaphore inTick{0}, letGo{0};
    std::atomic<int> ticks{0};
    RepeatingTimer timer(1ms, [&, token] {
        inTick.release();
        letGo.acquire();
        ++ticks;
    });
    token.reset();
    timer.start();
    inTick.acquire();
    std::thread releaser([&] {
        std::this_thread::sleep_for(20ms);
        letGo.release();
    });
    timer.cancel();
    EXPECT_EQ(ticks.load(), 1);
    releaser.join();
    EXPECT_TRUE(watch.expired());
    EXPECT_FALSE(timer.isRunning());
    timer.start();  // a cancelled timer stays cancelled
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(ticks.load(), 1);
}

// An owner holds its timer and the timer's handler holds the owner, as the
// window's controller and its frame pump do.
struct Owner {
    std::unique_ptr<RepeatingTimer> timer;
    std::atomic<int> ticks{0};
};

TEST(RepeatingTimer, CancelBreaksTheCycleBetweenAnOwnerAndItsHandlerFromInsideAndOutside) {
    auto outside = std::make_shared<Owner>();
    auto inside = std::make_shared<Owner>();
    const std::weak_ptr<Owner> watchOutside = outside, watchInside = inside;
    outside->timer = std::make_unique<RepeatingTimer>(1ms, [outside] { ++outside->ticks; });
    // The cancelling handler drops the last reference, and with it the timer,
    // on the timer's own thread once its tick has returned; no tick follows.
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
